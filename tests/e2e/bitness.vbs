' For the both-bitnesses test: creates QuorCache.COMCache in this script host,
' uses it, and prints what this process's registry view names:
'     <architecture> server=<InprocServer32> typelib=<library for its platform>
' or "<architecture> no object (<error>)". Exits with 0 only when the object works.
Option Explicit
Dim shell, arch, platform, cache, clsid, libid, server, library, text
Set shell = CreateObject("WScript.Shell")
arch = shell.Environment("Process")("PROCESSOR_ARCHITECTURE")
If arch = "x86" Then platform = "win32" Else platform = "win64"

On Error Resume Next
Set cache = CreateObject("QuorCache.COMCache")
If Err.Number <> 0 Then
    WScript.Echo arch & " no object (" & Hex(Err.Number) & ")"
    WScript.Quit 1
End If
clsid = shell.RegRead("HKCR\QuorCache.COMCache\CLSID\")
server = shell.RegRead("HKCR\CLSID\" & clsid & "\InprocServer32\")
libid = shell.RegRead("HKCR\CLSID\" & clsid & "\TypeLib\")
library = shell.RegRead("HKCR\TypeLib\" & libid & "\1.0\0\" & platform & "\")
Err.Clear

cache.Initialize
cache.CreateCache "Bitness", 10, 1
cache.Add "user", arch, "Bitness"
cache.Get "user", text, "Bitness"
If Err.Number <> 0 Or text <> arch Then
    WScript.Echo arch & " the object does not work (" & Hex(Err.Number) & ")"
    WScript.Quit 1
End If
cache.Terminate
WScript.Echo arch & " server=" & server & " typelib=" & library
WScript.Quit 0
