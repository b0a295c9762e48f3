' What Add and Get cost a VBScript page: 100 000 calls of each in a timed
' loop, 16-character user names and 100-character texts, as in the compiled
' benchmarks. The figures include the script engine's own work per call.
' Needs a registered QuorCache.dll:  cscript //nologo com_cache_loop.vbs
Option Explicit

Const CALLS = 100000
Const USER_COUNT = 10000

Dim users(9999)   ' USER_COUNT names
Dim cache, text, value, i, started, addNs, getNs
Set cache = CreateObject("QuorCache.COMCache")
cache.Initialize
cache.CreateCache "Bench", USER_COUNT * 2, 0

For i = 0 To USER_COUNT - 1
    users(i) = "user" & Right(String(12, "0") & i, 12)
Next
text = String(100, "x")

' Timer counts seconds since midnight; a loop that crosses it is not timed.
started = Timer
For i = 0 To CALLS - 1
    cache.Add users(i Mod USER_COUNT), text, "Bench"
Next
addNs = (Timer - started) * 1e9 / CALLS

started = Timer
For i = 0 To CALLS - 1
    cache.Get users(i Mod USER_COUNT), value, "Bench"
Next
getNs = (Timer - started) * 1e9 / CALLS

If value <> text Then WScript.Echo "Get returned [" & value & "]"
WScript.Echo "VBScript loop: " & CALLS & " calls each; Add " & Round(addNs) & " ns/call, Get " & Round(getNs) & " ns/call"

' A page's loop: each user's text stored, then read back, against the same
' loop over Scripting.Dictionary (Item adds or replaces, as Add does). The
' passes take turns between the two, and the best of each counts.
Const PAGE_PASSES = 3
' The same loop without the two calls is the script engine's own share.
Dim dictionary, pass, pageNs, dictionaryNs, floorNs, ns, user
Set dictionary = CreateObject("Scripting.Dictionary")
pageNs = -1
dictionaryNs = -1
floorNs = -1
For pass = 1 To PAGE_PASSES
    started = Timer
    For i = 0 To CALLS - 1
        user = users(i Mod USER_COUNT)
        value = text
    Next
    ns = (Timer - started) * 1e9 / CALLS
    If floorNs < 0 Or ns < floorNs Then floorNs = ns

    started = Timer
    For i = 0 To CALLS - 1
        user = users(i Mod USER_COUNT)
        cache.Add user, text, "Bench"
        cache.Get user, value, "Bench"
    Next
    ns = (Timer - started) * 1e9 / CALLS
    If pageNs < 0 Or ns < pageNs Then pageNs = ns

    started = Timer
    For i = 0 To CALLS - 1
        user = users(i Mod USER_COUNT)
        dictionary.Item(user) = text
        value = dictionary.Item(user)
    Next
    ns = (Timer - started) * 1e9 / CALLS
    If dictionaryNs < 0 Or ns < dictionaryNs Then dictionaryNs = ns
Next
If value <> text Then WScript.Echo "Item returned [" & value & "]"
cache.Terminate
WScript.Echo "Page loop: " & CALLS & " Add and Get pairs, best of " & PAGE_PASSES & "; COMCache " & _
    Round(pageNs) & " ns/pair, Scripting.Dictionary " & Round(dictionaryNs) & " ns/pair, " & _
    FormatNumber(pageNs / dictionaryNs, 2) & "x; the loop without the calls " & Round(floorNs) & " ns"
