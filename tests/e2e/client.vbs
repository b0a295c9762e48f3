' What a VBScript page does with a registered QuorCache: both ProgIDs, all
' fifteen methods and the statistics snapshot, the results a script sees for
' the server's HRESULTs, and the entry limit applied by the periodic flush.
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
    Err.Clear   ' the missing Sleep's error is not the caller's
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

' ---- reading with Lookup, and what a cache holds ----
' One property of a statistics snapshot, by name.
Function StatisticsProperty(stats, name)
    Select Case name
        Case "Name": StatisticsProperty = stats.Name
        Case "MaxEntries": StatisticsProperty = stats.MaxEntries
        Case "LifetimeMinutes": StatisticsProperty = stats.LifetimeMinutes
        Case "Entries": StatisticsProperty = stats.Entries
        Case "PeakEntries": StatisticsProperty = stats.PeakEntries
        Case "Size": StatisticsProperty = stats.Size
        Case "PeakSize": StatisticsProperty = stats.PeakSize
        Case "Hits": StatisticsProperty = stats.Hits
        Case "Misses": StatisticsProperty = stats.Misses
        Case "HitRatio": StatisticsProperty = stats.HitRatio
    End Select
End Function

' `expected` alternates property names and values.
Sub CheckProperties(stats, expected, what)
    Dim k, actual
    For k = 0 To UBound(expected) Step 2
        actual = StatisticsProperty(stats, expected(k))
        Check actual = expected(k + 1), what & "." & expected(k) & " is " & expected(k + 1) & ", got " & actual
    Next
End Sub

' The cache names joined with commas, walked with For Each.
Function JoinedNames()
    Dim name, joined
    joined = ""
    For Each name In cache.CacheNames()
        If joined <> "" Then joined = joined & ","
        joined = joined & name
    Next
    JoinedNames = joined
End Function

Dim looked, stats
cache.CreateCache "Reading", 10, 2
ExpectErr Err.Number, 0, "CreateCache Reading"
cache.Add "carol", "hello", "Reading"
ExpectErr Err.Number, 0, "Add carol to Reading"
looked = cache.Lookup("carol", "READING")
ExpectErr Err.Number, 0, "Lookup carol"
Check looked = "hello", "Lookup returns the text, got [" & looked & "]"
looked = cache.Lookup("nobody", "Reading")
ExpectErr Err.Number, 0, "Lookup an absent user"
Check IsEmpty(looked), "No entry reads as Empty, got type " & TypeName(looked)
looked = cache.Lookup("carol", "NoSuchCache")
ExpectErr Err.Number, 0, "Lookup in an unknown cache"
Check IsNull(looked), "No cache reads as Null, got type " & TypeName(looked)
Check cache.Exists("carol", "reading") = True, "carol exists"
Check cache.Exists("nobody", "Reading") = False, "nobody does not exist"
Check cache.Count("Reading") = 1, "Reading holds one entry"
Check cache.Count("NoSuchCache") = 0, "An unknown cache counts 0"
ExpectErr Err.Number, 0, "Exists and Count"
Set stats = cache.Statistics("reading")
ExpectErr Err.Number, 0, "Statistics of Reading"
Check IsObject(stats), "Statistics of Reading is an object"
CheckProperties stats, Array("Name", "Reading", "MaxEntries", 10, "LifetimeMinutes", 2, "Entries", 1, _
                             "PeakEntries", 1, "Size", 40, "PeakSize", 40, "Hits", 1, "Misses", 1, _
                             "HitRatio", 0.5), "Statistics"
Set stats = cache.Statistics("NoSuchCache")
ExpectErr Err.Number, 0, "Statistics of an unknown cache"
Check stats Is Nothing, "Statistics of an unknown cache is Nothing"
Check JoinedNames() = "Inbox,Reading", "For Each walks the cache names Inbox,Reading, got " & JoinedNames()
cache.Clear "READING"
ExpectErr Err.Number, 0, "Clear Reading"
cache.Clear "NoSuchCache"
ExpectErr Err.Number, 0, "Clear an unknown cache is S_FALSE, not an error"
Check cache.Count("Reading") = 0, "Clear leaves Reading empty"
Check IsEmpty(cache.Lookup("carol", "Reading")), "Clear removed carol"
CheckProperties cache.Statistics("Reading"), Array("MaxEntries", 10, "Entries", 0, "PeakEntries", 1, _
                                                   "Hits", 1, "Misses", 2), "Statistics after Clear"
ExpectErr Err.Number, 0, "Reading after Clear"

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

Check cache.Count("Trim") = 5, "Before the flush Trim holds all five, got " & cache.Count("Trim")
Pause 7000   ' past the first flush
Check cache.Count("Trim") = 3, "The flush trimmed Trim to three, got " & cache.Count("Trim")
' Six adds (one replacing) and five reads before the flush.
CheckProperties cache.Statistics("Trim"), Array("Entries", 3, "PeakEntries", 5, "Size", 120, "PeakSize", 200, _
                                                "Hits", 5, "Misses", 0), "Statistics of Trim"
ExpectErr Err.Number, 0, "Count and Statistics of Trim"

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
Check JoinedNames() = "", "After Terminate there are no cache names, got " & JoinedNames()
Check IsNull(cache.Lookup("user4", "Trim")), "After Terminate Lookup finds no cache"
ExpectErr Err.Number, 0, "CacheNames and Lookup after Terminate"
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
