// QuorCache from JScript. JScript cannot receive an [out] argument, so it
// cannot read a text back with Get; it can fill and empty caches, and Free
// tells it whether an entry is there (it fails for a user with no entry).
//
// Run it on a machine where QuorCache.dll is registered:
//     cscript //nologo demo.js
var E_FAIL = 0x80004005 | 0;

// Removes the user's entry and says whether there was one.
function freeEntry(cache, user, cacheType) {
    try {
        cache.Free(user, cacheType);
        return "removed its entry";
    } catch (e) {
        return (e.number | 0) === E_FAIL ? "had no entry" : "failed with 0x" + (e.number >>> 0).toString(16);
    }
}

// Waits `ms` milliseconds. Hosts without WScript.Sleep get a wait on the clock.
function pause(ms) {
    try {
        WScript.Sleep(ms);
        return;
    } catch (e) {
    }
    var deadline = new Date().getTime() + ms;
    while (new Date().getTime() < deadline) {
    }
}

var cache = new ActiveXObject("QuorCache.COMCache");
cache.Initialize();
WScript.Echo("Started QuorCache from JScript.");

cache.CreateCache("Sessions", 2, 1);
WScript.Echo("Created the cache \"Sessions\": at most 2 entries, each kept for 1 minute.");

var users = ["erin", "frank", "grace"];
for (var i = 0; i < users.length; i++) {
    cache.Add(users[i], "session of " + users[i], "Sessions");
}
WScript.Echo("Added a text for erin, frank and grace: one more than the limit.");

WScript.Echo("Waiting 7 seconds for the flush...");
pause(7000);
for (i = 0; i < users.length; i++) {
    WScript.Echo("    Free " + users[i] + ": " + freeEntry(cache, users[i], "SESSIONS"));
}

cache.DestroyCache("Sessions");
cache.Terminate();
WScript.Echo("Terminated QuorCache.");
WScript.Echo("Done.");
