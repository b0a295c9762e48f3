' What a VBScript page does with a registered QuorCache: both ProgIDs, all
' nine methods, the results a script sees for the server's HRESULTs, and the
' entry limit applied by the periodic flush.
'
' The host prints nothing for an unhandled script error and exits 0, so every
' call runs under On Error Resume Next, every outcome is checked here, and the
' exit code is the number of failed checks.
Option Explicit
On Error Resume Next

Const E_FAIL = &H80004005
Const ERR_INVALID_ARGUMENT = 5   ' what VBScript makes of E_INVALIDARG

Dim passed, failed
passed = 0
failed = 0

Sub Check(ok, what)
    If ok Then
        passed = passed + 1
    Else
        failed = failed + 1
        WScript.Echo "FAIL: " & what
    End If
End Sub

' `actual` is Err.Number, captured as an argument before this runs. A call
' that succeeds does not reset Err, so each check clears it for the next one.
Sub ExpectErr(actual, expected, what)
    Check actual = expected, what & " (Err.Number " & Hex(actual) & ", expected " & Hex(expected) & ")"
    Err.Clear
End Sub

' Waits `ms` milliseconds. Hosts without WScript.Sleep get a wait on the clock.
Sub Pause(ms)
    On Error Resume Next
    WScript.Sleep ms
    If Err.Number = 0 Then Exit Sub
    Dim start, now
    start = Timer
    Do
        now = Timer
        If now < start Then now = now + 86400   ' past midnight
    Loop While now - start < ms / 1000
End Sub

' ---- both ProgIDs give objects that reach the same caches ----
Dim cache, versioned
Set cache = CreateObject("QuorCache.COMCache")
ExpectErr Err.Number, 0, "CreateObject QuorCache.COMCache"
Check IsObject(cache), "QuorCache.COMCache gives an object"
Set versioned = CreateObject("QuorCache.COMCache.1")
ExpectErr Err.Number, 0, "CreateObject QuorCache.COMCache.1"
Check IsObject(versioned), "QuorCache.COMCache.1 gives an object"
If failed > 0 Then
    WScript.Echo "VBScript client: " & passed & " passed, " & failed & " failed"
    WScript.Quit failed
End If

cache.Initialize
ExpectErr Err.Number, 0, "Initialize"
versioned.Initialize
ExpectErr Err.Number, 0, "Initialize a second time"

cache.CreateCache "Inbox", 3, 1
ExpectErr Err.Number, 0, "CreateCache Inbox"
versioned.CreateCache "INBOX", 99, 5
ExpectErr Err.Number, 0, "CreateCache INBOX names the existing cache"

' ---- Add and Get, across objects and letter case ----
Dim value
cache.Add "alice", "hello", "Inbox"
ExpectErr Err.Number, 0, "Add alice"
value = "untouched"
versioned.Get "alice", value, "INBOX"
ExpectErr Err.Number, 0, "Get alice through the other object and INBOX"
Check value = "hello", "Get returns the added text, got [" & value & "]"

cache.Add "alice", "hello again", "inbox"
ExpectErr Err.Number, 0, "Add alice again replaces the entry"
versioned.Get "alice", value, "Inbox"
Check value = "hello again", "Get returns the later text, got [" & value & "]"

Dim accented
accented = "caf" & Chr(233) & " au lait"   ' e acute in the Western code page
cache.Add "bob", accented, "Inbox"
ExpectErr Err.Number, 0, "Add a text with an accented letter"
value = ""
cache.Get "bob", value, "Inbox"
Check value = accented, "The accented text comes back unchanged, got [" & value & "]"

cache.Add "ab" & Chr(0) & "cd", "cut", "Inbox"
ExpectErr Err.Number, 0, "Add under a user name with a NUL"
value = ""
cache.Get "ab", value, "Inbox"
ExpectErr Err.Number, 0, "The name ends at the NUL"
Check value = "cut", "The text stored under ab, got [" & value & "]"

' ---- absence: S_FALSE is silent, E_FAIL is an error ----
value = "untouched"
cache.Get "nobody", value, "Inbox"
ExpectErr Err.Number, E_FAIL, "Get for an absent user"
Check value = "untouched", "A failed Get leaves the variable alone, got [" & value & "]"
cache.Get "alice", value, "NoSuchCache"
ExpectErr Err.Number, 0, "Get from an unknown cache is S_FALSE, not an error"
Check value = "untouched", "Get from an unknown cache leaves the variable alone"
cache.Add "alice", "lost", "NoSuchCache"
ExpectErr Err.Number, 0, "Add to an unknown cache is S_FALSE, not an error"

' ---- Free ----
cache.Free "alice", "Inbox"
ExpectErr Err.Number, 0, "Free alice"
cache.Get "alice", value, "Inbox"
ExpectErr Err.Number, E_FAIL, "Get after Free"
cache.Free "alice", "Inbox"
ExpectErr Err.Number, E_FAIL, "Free an absent user"
cache.Free "alice", "NoSuchCache"
ExpectErr Err.Number, 0, "Free in an unknown cache"

' ---- the two remaining methods ----
Dim message
message = "untouched"
cache.GetMessageFromExchange "http://mail.example/", "", "carol", "Inbox", message
ExpectErr Err.Number, 0, "GetMessageFromExchange"
Check message = "untouched", "GetMessageFromExchange produces no message, got [" & message & "]"

Dim names
names = Array("first", "second")
cache.SetHiddemMessageParameters names
ExpectErr Err.Number, ERR_INVALID_ARGUMENT, "SetHiddemMessageParameters with an array variable"
cache.SetHiddemMessageParameters Array("first", "second")
ExpectErr Err.Number, ERR_INVALID_ARGUMENT, "SetHiddemMessageParameters with a script array (elements are VARIANTs)"
cache.SetHiddemMessageParameters "first"
ExpectErr Err.Number, ERR_INVALID_ARGUMENT, "SetHiddemMessageParameters with a single string"

' ---- the entry limit holds after the flush: the one check on the real
' clock that the flush runs every 5000 ms (the first one 5000 ms after the
' cache is made) ----
cache.CreateCache "Trim", 3, 1
ExpectErr Err.Number, 0, "CreateCache Trim"
Dim i
For i = 1 To 5
    cache.Add "user" & i, "text " & i, "Trim"
    ExpectErr Err.Number, 0, "Add user" & i & " to Trim"
Next
cache.Add "user1", "text 1 again", "Trim"   ' replacing makes user1 the newest
For i = 1 To 5
    value = ""
    cache.Get "user" & i, value, "Trim"
    ExpectErr Err.Number, 0, "All five entries are readable before the flush: user" & i
Next

Pause 7000   ' past the first flush

For i = 2 To 3
    value = "untouched"
    cache.Get "user" & i, value, "Trim"
    ExpectErr Err.Number, E_FAIL, "The flush trimmed the oldest entry user" & i
Next
For i = 4 To 5
    value = ""
    cache.Get "user" & i, value, "Trim"
    ExpectErr Err.Number, 0, "The flush kept user" & i
    Check value = "text " & i, "user" & i & " keeps its text"
Next
value = ""
cache.Get "user1", value, "Trim"
ExpectErr Err.Number, 0, "The flush kept the replaced user1"
Check value = "text 1 again", "user1 holds its later text, got [" & value & "]"

' ---- DestroyCache and Terminate ----
cache.DestroyCache "INBOX"
ExpectErr Err.Number, 0, "DestroyCache INBOX"
value = "untouched"
cache.Get "bob", value, "Inbox"
ExpectErr Err.Number, 0, "Get from a destroyed cache is S_FALSE"
Check value = "untouched", "Get from a destroyed cache leaves the variable alone"
cache.DestroyCache "Inbox"
ExpectErr Err.Number, 0, "DestroyCache of a cache that is gone"

cache.Terminate
ExpectErr Err.Number, 0, "Terminate"
value = "untouched"
cache.Get "user4", value, "Trim"
ExpectErr Err.Number, 0, "After Terminate the Trim cache is gone (S_FALSE)"
Check value = "untouched", "Get after Terminate leaves the variable alone"
cache.Terminate
ExpectErr Err.Number, 0, "Terminate a second time"

Set versioned = Nothing
Set cache = Nothing
WScript.Echo "VBScript client: " & passed & " passed, " & failed & " failed"
WScript.Quit failed
