' QuorCache from a page author's side: start the server, keep a short text
' per user in a named cache, read it back, and watch the periodic flush keep
' the cache within its entry limit.
'
' Run it on a machine where QuorCache.dll is registered:
'     cscript //nologo demo.vbs
Option Explicit

Const E_FAIL = &H80004005   ' Get: the cache has no entry for this user

' What Get finds for a user, as a line of the transcript.
Function Lookup(cache, user, cacheType)
    Dim text
    On Error Resume Next
    cache.Get user, text, cacheType
    If Err.Number = E_FAIL Then
        Lookup = "(no entry)"
    ElseIf Err.Number <> 0 Then
        Lookup = "(error " & Hex(Err.Number) & ")"
    ElseIf IsEmpty(text) Then
        Lookup = "(no such cache)"   ' Get left the variable alone
    Else
        Lookup = """" & text & """"
    End If
    On Error GoTo 0
End Function

Sub Show(cache, user, cacheType)
    WScript.Echo "    " & user & " in " & cacheType & ": " & Lookup(cache, user, cacheType)
End Sub

' Waits `ms` milliseconds. Hosts without WScript.Sleep get a wait on the clock.
Sub Pause(ms)
    On Error Resume Next
    WScript.Sleep ms
    If Err.Number = 0 Then Exit Sub
    On Error GoTo 0
    Dim start, now
    start = Timer
    Do
        now = Timer
        If now < start Then now = now + 86400   ' past midnight
    Loop While now - start < ms / 1000
End Sub

Dim cache, user
Set cache = CreateObject("QuorCache.COMCache")
cache.Initialize
WScript.Echo "Started QuorCache: its background thread flushes every cache every 5 seconds."

cache.CreateCache "Inbox", 3, 1
WScript.Echo "Created the cache ""Inbox"": at most 3 entries, each kept for 1 minute."

cache.Add "alice", "2 new messages", "Inbox"
cache.Add "bob", "no new messages", "Inbox"
cache.Add "carol", "1 new message", "Inbox"
WScript.Echo "Added a text for alice, bob and carol. Reading them back:"
For Each user In Array("alice", "bob", "carol", "dave")
    Show cache, user, "Inbox"
Next

WScript.Echo "Cache names ignore letter case, so ""INBOX"" is the same cache:"
Show cache, "alice", "INBOX"

cache.Add "bob", "5 new messages", "INBOX"
WScript.Echo "Replaced bob's text through ""INBOX"":"
Show cache, "bob", "Inbox"

cache.Add "dave", "3 new messages", "Inbox"
WScript.Echo "Added dave: 4 entries in a cache of 3. Until the next flush all are there:"
For Each user In Array("alice", "bob", "carol", "dave")
    Show cache, user, "Inbox"
Next

WScript.Echo "Waiting 7 seconds for the flush..."
Pause 7000
WScript.Echo "The flush removed the oldest entry (alice; bob's was renewed when it was replaced):"
For Each user In Array("alice", "bob", "carol", "dave")
    Show cache, user, "Inbox"
Next

cache.Free "carol", "Inbox"
WScript.Echo "Freed carol's entry:"
Show cache, "carol", "Inbox"

cache.DestroyCache "Inbox"
WScript.Echo "Destroyed the cache; asking it for anything is now a quiet no-op:"
Show cache, "dave", "Inbox"

cache.Terminate
WScript.Echo "Terminated QuorCache: every cache is gone and the background thread has stopped."
WScript.Echo "Done."
