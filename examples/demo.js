// QuorCache from JScript. JScript has no by-reference variables, so it reads
// with Lookup rather than Get: the text when the user has an entry,
// undefined when the cache has none for the user, and null when there is no
// such cache. Nothing is raised for either kind of absence; a call that
// fails throws, and the catch below prints its error number.
//
// It is safe to run where a site already uses QuorCache, on a farm too: it
// works only in a cache of its own, "QuorCache Demo Sessions", and empties
// it before it goes.
//
// Run it on a machine where QuorCache.dll is registered:
//     cscript //nologo demo.js
var DEMO = "QuorCache Demo Sessions";

// An error as a page shows it: the HRESULT in hex, and its text if any.
function errorText(e) {
    return "error 0x" + (e.number >>> 0).toString(16).toUpperCase() + (e.description ? " (" + e.description + ")" : "");
}

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

var cache = null, step = "starting QuorCache";
try {
    cache = new ActiveXObject("QuorCache.COMCache");
    cache.Initialize();  // once per process; a later call changes nothing
    WScript.Echo("Started QuorCache from JScript.");

    step = "creating the demo's cache";
    cache.CreateCache(DEMO, 2, 1);
    var stats = cache.Statistics(DEMO);
    WScript.Echo("Created \"" + DEMO + "\": at most " + stats.MaxEntries + " entries, each kept for " +
                 stats.LifetimeMinutes + " minute(s). It holds " + stats.Entries + " entries" +
                 (stats.Entries > 0 ? ", from an earlier run of this demo." : "."));

    step = "adding and reading";
    var users = ["erin", "frank", "grace"];
    for (var i = 0; i < users.length; i++) {
        cache.Add(users[i], "session of " + users[i], DEMO);
    }
    WScript.Echo("Added a text for erin, frank and grace: Count is now " + cache.Count(DEMO) +
                 ", with a limit of " + stats.MaxEntries + ".");
    show(cache, "erin", DEMO.toUpperCase());
    show(cache, "nobody", DEMO);
    show(cache, "erin", "QuorCache Demo Elsewhere");

    WScript.Echo("Waiting 7 seconds for the flush...");
    pause(7000);
    WScript.Echo("The flush trimmed the oldest entries beyond the limit: Count is now " + cache.Count(DEMO) + ".");
    for (i = 0; i < users.length; i++) {
        WScript.Echo("    " + users[i] + (cache.Exists(users[i], DEMO) ? " has an entry" : " has none"));
    }
    stats = cache.Statistics(DEMO);
    WScript.Echo(DEMO + ": hits " + stats.Hits + ", misses " + stats.Misses + ", at most " +
                 stats.PeakEntries + " entries at once.");

    // Clear empties a cache for everyone who uses it: only ever the demo's own.
    step = "cleaning up";
    cache.Clear(DEMO);
    WScript.Echo("Cleared the demo's cache: Count is now " + cache.Count(DEMO) + ".");
    cache.DestroyCache(DEMO);
    WScript.Echo("Destroyed it. The caches of this process now: " +
                 (new VBArray(cache.CacheNames()).toArray().join(", ") || "none") + ".");
} catch (e) {
    WScript.Echo("The demo failed " + step + ": " + errorText(e));
    try {
        if (cache !== null) {
            cache.Clear(DEMO);
            cache.DestroyCache(DEMO);
        }
    } catch (ignored) {
    }
    WScript.Quit(1);
}
// No Terminate: it ends every cache of the process, a site's as well when
// this runs as a page. The application calls it once, at its end (in its end
// event, say). This script's process ends here and takes its caches with it.
WScript.Echo("Done.");
