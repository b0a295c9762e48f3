' A hot farm Get served near against a local Get, as a VBScript page calls
' them: 1000 users in each cache, 16-character texts, every farm entry read
' once first. Needs a registered QuorCache.dll whose farm settings put
' "Bench" on the farm with NearCache 1 (bench/near_bench.sh sets them):
'   cscript //nologo near_loop.vbs
Option Explicit

Const CALLS = 20000
Const USER_COUNT = 1000

Dim users(999)   ' USER_COUNT names
Dim cache, text, value, i, started, localNs, farmNs
Set cache = CreateObject("QuorCache.COMCache")
cache.Initialize
cache.CreateCache "Bench", 1000000, 20
cache.CreateCache "LocalBench", 1000000, 20
text = String(16, "t")
For i = 0 To USER_COUNT - 1
    users(i) = "user" & i
    cache.Add users(i), text, "Bench"
    cache.Add users(i), text, "LocalBench"
Next
'' The invalidation channel subscribes within moments of Initialize, and
' this page's own adds echo back first. (A busy wait: this host's script
' runtime has no WScript.Sleep.)
started = Timer
Do While Timer - started < 0.5 And Timer >= started
Loop
For i = 0 To USER_COUNT - 1
    cache.Get users(i), value, "Bench"
Next

' Timer counts seconds since midnight; a loop that crosses it is not timed.
started = Timer
For i = 0 To CALLS - 1
    cache.Get users(i Mod USER_COUNT), value, "LocalBench"
Next
localNs = (Timer - started) * 1e9 / CALLS
started = Timer
For i = 0 To CALLS - 1
    cache.Get users(i Mod USER_COUNT), value, "Bench"
Next
farmNs = (Timer - started) * 1e9 / CALLS

WScript.Echo "script_local_get_ns " & Round(localNs)
WScript.Echo "script_farm_get_ns " & Round(farmNs)
cache.Clear "Bench"
cache.Terminate
