' An operator's view of QuorCache: every cache of the process with its
' settings, what it holds and how well it serves its readers.
'
' Caches live inside the process that uses them, so a real report runs there,
' as a page of the same web application that keeps the caches: ReportCaches
' is all such a page needs. It only reads, so it may show every cache; a
' cache that cannot answer (a farm cache while its server is unreachable) is
' shown with its error, and the report goes on.
'
' Run standalone, this script first fills two caches of its own, "QuorCache
' Report Inbox" and "QuorCache Report Sessions", so that there is something
' to show, and takes its entries out again at the end:
'     cscript //nologo cache_report.vbs
Option Explicit
On Error Resume Next   ' every call is checked below, as a page checks them

Const E_FAIL = &H80004005   ' Free: the cache has no entry for this user

Function ErrorText()
    ErrorText = "error &H" & Hex(Err.Number)
    If Err.Description <> "" Then ErrorText = ErrorText & " (" & Err.Description & ")"
End Function

' Prints the failure of the call before it, if it failed.
Sub Report(what)
    If Err.Number = 0 Then Exit Sub
    WScript.Echo what & " failed: " & ErrorText()
    Err.Clear
End Sub

' Prints one block per cache, in the order the server keeps them.
Sub ReportCaches(cache)
    Dim names, name
    On Error Resume Next
    names = cache.CacheNames()
    If Err.Number <> 0 Then
        Report "CacheNames"
        Exit Sub
    End If
    For Each name In names
        ReportCache cache, name
    Next
End Sub

Sub ReportCache(cache, name)
    Dim stats, lifetime
    On Error Resume Next
    Set stats = cache.Statistics(name)
    If Err.Number <> 0 Then
        WScript.Echo name & ": " & ErrorText()
        Err.Clear   ' handled: the report goes on
        Exit Sub
    End If
    If stats Is Nothing Then Exit Sub   ' destroyed since the names were read
    lifetime = stats.LifetimeMinutes & " minutes"
    If stats.LifetimeMinutes = 0 Then lifetime = "30 days"
    If stats.LifetimeMinutes < 0 Then lifetime = "the longest lifetime"
    WScript.Echo stats.Name & " (at most " & stats.MaxEntries & " entries, each for " & lifetime & ")"
    WScript.Echo "    entries " & stats.Entries & " now, " & stats.PeakEntries & " at most"
    ' Size is not bytes: the store counts 40 for every entry, whatever its text.
    WScript.Echo "    size    " & stats.Size & " now, " & stats.PeakSize & " at most (40 per entry)"
    WScript.Echo "    lookups hits " & stats.Hits & ", misses " & stats.Misses & ", hit ratio " & _
                 FormatPercent(stats.HitRatio, 1)
End Sub

' Creates one of the script's own caches and adds `text` for each user,
' stopping at the first failure, which it prints.
Sub Fill(name, lifetime, users, text)
    Dim user
    On Error Resume Next
    cache.CreateCache name, 100, lifetime
    For Each user In users
        If Err.Number = 0 Then cache.Add user, text, name
    Next
    Report "Filling " & name
End Sub

' Takes the script's entries out again: on a farm, DestroyCache alone would
' leave them behind.
Sub TakeOut(name, users)
    Dim user
    On Error Resume Next
    For Each user In users
        If Err.Number = 0 Then cache.Free user, name
        If Err.Number = E_FAIL Then Err.Clear   ' no entry: nothing to take out
    Next
    Report "Freeing " & name
    cache.DestroyCache name
    Report "DestroyCache " & name
End Sub

Dim cache, user, text
Const INBOX = "QuorCache Report Inbox", SESSIONS = "QuorCache Report Sessions"
Set cache = CreateObject("QuorCache.COMCache")
If Err.Number = 0 Then cache.Initialize
If Err.Number <> 0 Then
    Report "Starting QuorCache"
    WScript.Quit 1
End If

Fill INBOX, 0, Array("alice", "bob", "carol"), "2 new messages"   ' 0: kept for 30 days
Fill SESSIONS, 20, Array("alice"), "session 7f3a"
For Each user In Array("alice", "bob", "dave", "alice")   ' lookups, to count
    If Err.Number = 0 Then text = cache.Lookup(user, INBOX)
Next
Report "Lookup"

ReportCaches cache

TakeOut INBOX, Array("alice", "bob", "carol")
TakeOut SESSIONS, Array("alice")
' No Terminate: it would end every cache of the process (see demo.vbs).
WScript.Echo "Done."
