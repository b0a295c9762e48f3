' QuorCache from a page author's side: keep a short text per user in a named
' cache, read it back, and watch the periodic flush keep the cache within its
' entry limit.
'
' It is safe to run where a site already uses QuorCache, on a farm too: it
' works only in a cache of its own, "QuorCache Demo Inbox", checks every call
' as a page should, and takes out what it put in before it goes.
'
' Run it on a machine where QuorCache.dll is registered:
'     cscript //nologo demo.vbs
Option Explicit
On Error Resume Next   ' every call is checked below, as a page checks them

Const E_FAIL = &H80004005   ' Get and Free: the cache has no entry for this user
Const DEMO = "QuorCache Demo Inbox"
Dim cache, stats, failures, users
users = Array("alice", "bob", "carol", "dave")
failures = 0

Function ErrorText()
    ErrorText = "error &H" & Hex(Err.Number)
    If Err.Description <> "" Then ErrorText = ErrorText & " (" & Err.Description & ")"
End Function

' Prints the failure of the call before it, if it failed.
Sub Report(what)
    If Err.Number = 0 Then Exit Sub
    WScript.Echo what & " failed: " & ErrorText()
    failures = failures + 1
    Err.Clear
End Sub

' Stops the demo, after cleaning up, when the call before it failed.
Sub Check(what)
    If Err.Number = 0 Then Exit Sub
    Report what
    CleanUp
    WScript.Quit 1
End Sub

' Takes out every entry of the demo's users and ends this process's use of
' the cache. On a farm, DestroyCache alone would leave the entries behind.
Sub CleanUp()
    Dim user
    On Error Resume Next
    For Each user In users
        cache.Free user, DEMO
        If Err.Number = E_FAIL Then Err.Clear   ' no entry: nothing to take out
        If Err.Number <> 0 Then Exit For
    Next
    Report "Free"
    cache.DestroyCache DEMO
    Report "DestroyCache"
End Sub

' What Get finds for a user, as a line of the transcript.
Sub Show(user, cacheType)
    Dim text, found
    On Error Resume Next
    cache.Get user, text, cacheType
    If Err.Number = E_FAIL Then
        found = "(no entry)"
    ElseIf Err.Number <> 0 Then
        found = "(" & ErrorText() & ")"
        failures = failures + 1
    ElseIf IsEmpty(text) Then
        found = "(no such cache)"   ' Get left the variable alone
    Else
        found = """" & text & """"
    End If
    Err.Clear   ' handled: a later Check must not see it
    WScript.Echo "    " & user & " in " & cacheType & ": " & found
End Sub

Sub ShowAll()
    Dim user
    For Each user In users
        Show user, DEMO
    Next
End Sub

' Waits `ms` milliseconds. Hosts without WScript.Sleep get a wait on the clock.
Sub Pause(ms)
    Dim start, now
    On Error Resume Next
    WScript.Sleep ms
    If Err.Number = 0 Then Exit Sub
    Err.Clear
    start = Timer
    Do
        now = Timer
        If now < start Then now = now + 86400   ' past midnight
    Loop While now - start < ms / 1000
End Sub

Set cache = CreateObject("QuorCache.COMCache")
Check "CreateObject(""QuorCache.COMCache"")"
cache.Initialize   ' once per process; a later call changes nothing
Check "Initialize"
WScript.Echo "Started QuorCache: its background thread flushes every cache every 5 seconds."

cache.CreateCache DEMO, 3, 1
Check "CreateCache"
Set stats = cache.Statistics(DEMO)
Check "Statistics"
WScript.Echo "Created """ & DEMO & """: at most " & stats.MaxEntries & " entries, each kept for " & _
             stats.LifetimeMinutes & " minute(s). (A cache that already existed keeps its first limit and lifetime.)"
If stats.Entries > 0 Then
    WScript.Echo "It already holds entries from an earlier run of this demo (Count is " & stats.Entries & _
                 "); they are taken out at its end."
End If

cache.Add "alice", "2 new messages", DEMO
cache.Add "bob", "no new messages", DEMO
cache.Add "carol", "1 new message", DEMO
Check "Add"
WScript.Echo "Added a text for alice, bob and carol. Reading them back:"
ShowAll

WScript.Echo "Cache names ignore letter case, so """ & UCase(DEMO) & """ is the same cache:"
Show "alice", UCase(DEMO)

cache.Add "bob", "5 new messages", UCase(DEMO)
Check "Add"
WScript.Echo "Replaced bob's text through """ & UCase(DEMO) & """:"
Show "bob", DEMO

cache.Add "dave", "3 new messages", DEMO
Check "Add"
WScript.Echo "Added dave: Count is now " & cache.Count(DEMO) & ", with a limit of " & stats.MaxEntries & "."
Check "Count"

WScript.Echo "Waiting 7 seconds for the flush..."
Pause 7000
WScript.Echo "The flush trims the oldest entries beyond the limit (bob's was renewed when it was replaced). " & _
             "Count is now " & cache.Count(DEMO) & ":"
Check "Count"
ShowAll

cache.Free "carol", DEMO
If Err.Number = E_FAIL Then Err.Clear   ' the flush took it already
Check "Free"
WScript.Echo "Freed carol's entry:"
Show "carol", DEMO

CleanUp
WScript.Echo "Took out the demo's entries and destroyed its cache; asking it for anything is now a quiet no-op:"
Show "dave", DEMO

' No Terminate: it ends every cache of the process, a site's as well when
' this runs as a page. The application calls it once, at its end (in its end
' event, say). This script's process ends here and takes its caches with it.
If failures > 0 Then WScript.Quit 1
WScript.Echo "Done."
