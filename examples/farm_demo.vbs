' Farm caches from a page author's side: two web servers of one site share
' the "Sessions" cache through Redis, and neither page has a line about it.
' The administrator named "Sessions" in the farm settings (the registry
' values in the README); the page is the same as for an in-process cache.
'
' Run it as each web server in turn, on machines where QuorCache.dll is
' registered and the farm settings are set:
'     cscript //nologo farm_demo.vbs A add      (web server A stores a text)
'     cscript //nologo farm_demo.vbs B read     (web server B reads it, frees it)
'     cscript //nologo farm_demo.vbs A read     (and A finds it gone)
Option Explicit

Const E_FAIL = &H80004005

Function Lookup(cache, user, cacheType)
    Dim text
    On Error Resume Next
    cache.Get user, text, cacheType
    If Err.Number = E_FAIL Then
        Lookup = "(no entry)"
    ElseIf Err.Number <> 0 Then
        Lookup = "(error " & Hex(Err.Number) & ")"
    Else
        Lookup = """" & text & """"
    End If
    On Error GoTo 0
End Function

Dim server, action, cache
server = WScript.Arguments(0)
action = WScript.Arguments(1)
Set cache = CreateObject("QuorCache.COMCache")
cache.Initialize
cache.CreateCache "Sessions", 1000, 20

If action = "add" Then
    cache.Add "alice", "cart: 3 books, stored by web server " & server, "Sessions"
    WScript.Echo "web server " & server & " stored alice's cart"
Else
    WScript.Echo "web server " & server & " reads alice: " & Lookup(cache, "alice", "Sessions")
    If Lookup(cache, "alice", "Sessions") <> "(no entry)" Then
        cache.Free "alice", "Sessions"
        WScript.Echo "web server " & server & " freed alice's cart, for every server of the site"
    End If
End If

cache.Terminate
WScript.Echo "Done."
