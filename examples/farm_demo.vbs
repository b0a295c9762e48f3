' Farm caches from a page author's side: two web servers of one site share a
' cache through Redis, and neither page has a line about it. The page is the
' same as for an in-process cache; the administrator names the cache in the
' farm settings (the registry values in the README).
'
' It works only in a cache of its own, "QuorCache Demo Farm", so it is safe
' on a live site. For the demo, add that name to the farm's Caches beside the
' site's own (for example Sessions, Carts, QuorCache Demo Farm). Run it as
' each web server in turn, on machines where QuorCache.dll is registered:
'     cscript //nologo farm_demo.vbs A add      (web server A stores a text)
'     cscript //nologo farm_demo.vbs B read     (web server B reads it, frees it)
'     cscript //nologo farm_demo.vbs A read     (and A finds it gone)
' When B finds no entry, the farm settings do not name the cache, and each
' server kept a cache of its own. The text lives one minute, so a run that
' stops halfway leaves nothing on the farm for long.
Option Explicit
On Error Resume Next   ' every call is checked below, as a page checks them

Const DEMO = "QuorCache Demo Farm"
Dim server, action, cache, found, text

' Stops the demo when the call before it failed.
Sub Check(what)
    If Err.Number = 0 Then Exit Sub
    WScript.Echo "web server " & server & ": " & what & " failed: " & RTrim("error &H" & Hex(Err.Number) & " " & Err.Description)
    WScript.Quit 1
End Sub

server = WScript.Arguments(0)
action = WScript.Arguments(1)
If Err.Number <> 0 Or (action <> "add" And action <> "read") Then
    WScript.Echo "usage: cscript //nologo farm_demo.vbs SERVER add|read"
    WScript.Quit 2
End If
Set cache = CreateObject("QuorCache.COMCache")
Check "CreateObject(""QuorCache.COMCache"")"
cache.Initialize
Check "Initialize"
cache.CreateCache DEMO, 1000, 1   ' the first server's limit and lifetime hold for the site
Check "CreateCache"

If action = "add" Then
    found = cache.Exists("alice", DEMO)   ' not in the If: an error there would run its Then
    Check "Exists"
    If found Then WScript.Echo "web server " & server & " finds alice's cart of an earlier run"
    cache.Add "alice", "cart: 3 books, stored by web server " & server, DEMO
    Check "Add"
    WScript.Echo "web server " & server & " stored alice's cart"
Else
    text = cache.Lookup("alice", DEMO)   ' Empty when there is no entry
    Check "Lookup"
    If IsEmpty(text) Then
        WScript.Echo "web server " & server & " reads alice: (no entry)"
    Else
        WScript.Echo "web server " & server & " reads alice: """ & text & """"
        cache.Free "alice", DEMO
        Check "Free"
        WScript.Echo "web server " & server & " freed alice's cart, for every server of the site"
    End If
End If

' Ends this process's use of the cache; on a farm the entries stay for the
' other servers. No Terminate: it would end every cache of the process.
cache.DestroyCache DEMO
Check "DestroyCache"
WScript.Echo "Done."
