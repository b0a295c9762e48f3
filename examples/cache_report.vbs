' An operator's view of QuorCache: every cache of the process with its
' settings, what it holds and how well it serves its readers.
'
' Caches live inside the process that uses them, so a real report runs there,
' as a page of the same web application that keeps the caches: ReportCaches
' is all such a page needs. Run standalone, this script first fills two
' caches of its own so that there is something to show:
'     cscript //nologo cache_report.vbs
Option Explicit

' Prints one block per cache, in the order the server keeps them.
Sub ReportCaches(cache)
    Dim name, stats, lifetime
    For Each name In cache.CacheNames()
        Set stats = cache.Statistics(name)
        If Not stats Is Nothing Then   ' destroyed since the names were read
            lifetime = stats.LifetimeMinutes & " minutes"
            If stats.LifetimeMinutes = 0 Then lifetime = "30 days"
            WScript.Echo stats.Name & " (at most " & stats.MaxEntries & " entries, each for " & lifetime & ")"
            WScript.Echo "    entries " & stats.Entries & " now, " & stats.PeakEntries & " at most"
            WScript.Echo "    bytes   " & stats.Size & " now, " & stats.PeakSize & " at most"
            WScript.Echo "    lookups hits " & stats.Hits & ", misses " & stats.Misses & ", hit ratio " & _
                         FormatPercent(stats.HitRatio, 1)
        End If
    Next
End Sub

Dim cache, user
Set cache = CreateObject("QuorCache.COMCache")
cache.Initialize
cache.CreateCache "Inbox", 100, 20
cache.CreateCache "Sessions", 500, 0
For Each user In Array("alice", "bob", "carol")
    cache.Add user, "2 new messages", "Inbox"
Next
cache.Add "alice", "session 7f3a", "Sessions"
For Each user In Array("alice", "bob", "dave", "alice")
    If IsEmpty(cache.Lookup(user, "Inbox")) Then cache.Add user, "no new messages", "Inbox"
Next

ReportCaches cache

cache.Terminate
WScript.Echo "Done."
