// What a JScript page can do with a registered QuorCache. JScript has no way to
// pass an [out] argument, so it reads with Lookup (text, undefined for no
// entry, null for no cache) and leaves Get and GetMessageFromExchange to the
// VBScript and C++ clients (as is the flush, which the VBScript client waits
// for).
//
// The host prints nothing for an uncaught error and exits 0, so every call is
// wrapped, every outcome is checked here, and the exit code is the number of
// failed checks.
var E_FAIL = 0x80004005 | 0;
var E_INVALIDARG = 0x80070057 | 0;
var passed = 0, failed = 0;

function check(ok, what) {
    if (ok) {
        passed++;
    } else {
        failed++;
        WScript.Echo("FAIL: " + what);
    }
}

// Runs `call` and returns the HRESULT it raised, 0 when it raised none.
function hresultOf(call) {
    try {
        call();
        return 0;
    } catch (e) {
        return e.number | 0;
    }
}

function hex(n) {
    return "0x" + (n >>> 0).toString(16).toUpperCase();
}

function expect(call, expected, what) {
    var actual = hresultOf(call);
    check(actual === expected, what + " (got " + hex(actual) + ", expected " + hex(expected) + ")");
}

function finish() {
    WScript.Echo("JScript client: " + passed + " passed, " + failed + " failed");
    WScript.Quit(failed);
}

var cache = null, versioned = null;
expect(function () { cache = new ActiveXObject("QuorCache.COMCache"); }, 0, "new ActiveXObject QuorCache.COMCache");
expect(function () { versioned = new ActiveXObject("QuorCache.COMCache.1"); }, 0, "new ActiveXObject QuorCache.COMCache.1");
if (cache === null || versioned === null) {
    finish();
}

expect(function () { cache.Initialize(); }, 0, "Initialize");
expect(function () { versioned.Initialize(); }, 0, "Initialize a second time");
expect(function () { cache.CreateCache("Inbox", 3, 1); }, 0, "CreateCache Inbox");
expect(function () { cache.CreateCache("INBOX", 99, 5); }, 0, "CreateCache INBOX names the existing cache");

// ---- Add and Free, across objects and letter case ----
expect(function () { cache.Add("alice", "hello", "Inbox"); }, 0, "Add alice");
expect(function () { versioned.Free("alice", "INBOX"); }, 0, "Free alice through the other object and INBOX");
expect(function () { cache.Free("alice", "Inbox"); }, E_FAIL, "Free alice again: absent");
expect(function () { cache.Free("alice", "NoSuchCache"); }, 0, "Free in an unknown cache");
expect(function () { cache.Add("alice", "lost", "NoSuchCache"); }, 0, "Add to an unknown cache is S_FALSE, not an error");
expect(function () { cache.Add("", "nobody's text", "Inbox"); }, 0, "Add under the empty user name");
expect(function () { cache.Free("", "Inbox"); }, 0, "Free the empty user name");

// Each named property of `object` against `expected`.
function checkProperties(object, expected, what) {
    for (var name in expected) {
        var actual = object[name];
        check(actual === expected[name], what + "." + name + " is " + expected[name] + ", got " + actual);
    }
}

// The cache names as a JScript array.
function cacheNames() {
    return new VBArray(cache.CacheNames()).toArray();
}

// ---- reading with Lookup, and what a cache holds ----
var value = "untouched", exists = null, count = -1, statistics = null;
expect(function () { cache.CreateCache("Reading", 10, 2); }, 0, "CreateCache Reading");
expect(function () { cache.Add("carol", "hello", "Reading"); }, 0, "Add carol to Reading");
expect(function () { value = cache.Lookup("carol", "READING"); }, 0, "Lookup carol");
check(value === "hello", "Lookup returns the text, got " + value);
expect(function () { value = cache.Lookup("nobody", "Reading"); }, 0, "Lookup an absent user");
check(value === undefined, "No entry reads as undefined, got " + value + " (" + typeof value + ")");
expect(function () { value = cache.Lookup("carol", "NoSuchCache"); }, 0, "Lookup in an unknown cache");
check(value === null, "No cache reads as null, got " + value + " (" + typeof value + ")");
expect(function () { exists = cache.Exists("carol", "reading"); }, 0, "Exists carol");
check(exists === true, "carol exists, got " + exists);
expect(function () { exists = cache.Exists("nobody", "Reading"); }, 0, "Exists nobody");
check(exists === false, "nobody does not exist, got " + exists);
expect(function () { count = cache.Count("Reading"); }, 0, "Count Reading");
check(count === 1, "Reading holds one entry, got " + count);
expect(function () { count = cache.Count("NoSuchCache"); }, 0, "Count an unknown cache");
check(count === 0, "An unknown cache counts 0, got " + count);
expect(function () { statistics = cache.Statistics("reading"); }, 0, "Statistics of Reading");
if (statistics !== null) {
    checkProperties(statistics, {Name: "Reading", MaxEntries: 10, LifetimeMinutes: 2, Entries: 1, PeakEntries: 1,
                                 Size: 40, PeakSize: 40, Hits: 1, Misses: 1, HitRatio: 0.5}, "Statistics");
} else {
    check(false, "Statistics of Reading is an object");
}
expect(function () { statistics = cache.Statistics("NoSuchCache"); }, 0, "Statistics of an unknown cache");
check(statistics === null, "Statistics of an unknown cache is null, got " + statistics);
check(cacheNames().join() === "Inbox,Reading", "The cache names are Inbox,Reading, got " + cacheNames().join());
expect(function () { cache.Clear("READING"); }, 0, "Clear Reading");
expect(function () { cache.Clear("NoSuchCache"); }, 0, "Clear an unknown cache is S_FALSE, not an error");
check(cache.Count("Reading") === 0, "Clear leaves Reading empty");
check(cache.Lookup("carol", "Reading") === undefined, "Clear removed carol");
checkProperties(cache.Statistics("Reading"), {MaxEntries: 10, Entries: 0, PeakEntries: 1, Hits: 1, Misses: 2},
                "Statistics after Clear");

// ---- SetHiddemMessageParameters takes only an array of strings ----
expect(function () { cache.SetHiddemMessageParameters(["first", "second"]); }, E_INVALIDARG,
       "SetHiddemMessageParameters with a JScript array (an object, not an array)");
expect(function () { cache.SetHiddemMessageParameters("first"); }, E_INVALIDARG,
       "SetHiddemMessageParameters with a single string");

// ---- DestroyCache and Terminate ----
expect(function () { cache.CreateCache("Trim", 3, 1); }, 0, "CreateCache Trim");
expect(function () { cache.DestroyCache("INBOX"); }, 0, "DestroyCache INBOX");
expect(function () { cache.Free("nobody", "Inbox"); }, 0, "The destroyed cache is unknown now (no E_FAIL for an absent user)");
expect(function () { cache.DestroyCache("Inbox"); }, 0, "DestroyCache of a cache that is gone");
expect(function () { cache.Free("nobody", "Trim"); }, E_FAIL, "Before Terminate the Trim cache exists");
expect(function () { cache.Terminate(); }, 0, "Terminate");
expect(function () { cache.Free("nobody", "Trim"); }, 0, "After Terminate the Trim cache is gone");
check(cacheNames().length === 0, "After Terminate there are no cache names, got " + cacheNames().join());
check(cache.Lookup("user3", "Trim") === null, "After Terminate Lookup finds no cache");
expect(function () { cache.Terminate(); }, 0, "Terminate a second time");

cache = null;
versioned = null;
finish();
