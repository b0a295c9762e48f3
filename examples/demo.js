// QuorCache from JScript. JScript has no by-reference variables, so it reads
// with Lookup rather than Get: the text when the user has an entry,
// undefined when the cache has none for the user, and null when there is no
// such cache. Nothing is raised for either kind of absence.
//
// Run it on a machine where QuorCache.dll is registered:
//     cscript //nologo demo.js

// What Lookup finds for a user, as a line of the transcript.
function show(cache, user, cacheType) {
    var text = cache.Lookup(user, cacheType);
    var found = text === undefined ? "(no entry)" : text === null ? "(no such cache)" : "\"" + text + "\"";
    WScript.Echo("    " + user + " in " + cacheType + ": " + found);
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
WScript.Echo("Added a text for erin, frank and grace: " + cache.Count("Sessions") +
             " entries, one more than the limit.");
show(cache, "erin", "SESSIONS");
show(cache, "nobody", "Sessions");
show(cache, "erin", "Elsewhere");

WScript.Echo("Waiting 7 seconds for the flush...");
pause(7000);
WScript.Echo("The flush trimmed the oldest: " + cache.Count("Sessions") + " entries left.");
for (i = 0; i < users.length; i++) {
    WScript.Echo("    " + users[i] + (cache.Exists(users[i], "Sessions") ? " has an entry" : " has none"));
}

var stats = cache.Statistics("Sessions");
WScript.Echo("Sessions: hits " + stats.Hits + ", misses " + stats.Misses + ", at most " +
             stats.PeakEntries + " entries at once.");

cache.Clear("Sessions");
WScript.Echo("Cleared Sessions: " + cache.Count("Sessions") + " entries; the names of the caches are still " +
             new VBArray(cache.CacheNames()).toArray().join(", ") + ".");
cache.DestroyCache("Sessions");
cache.Terminate();
WScript.Echo("Terminated QuorCache.");
WScript.Echo("Done.");
