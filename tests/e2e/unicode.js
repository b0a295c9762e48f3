// Names and texts outside the ANSI code page, from JScript: what is added
// comes back exactly, and users and caches that a code page would merge stay
// apart. The test runs it against in-process caches, and against farm caches
// with a cache-name prefix as its argument. It cleans up what it made.
//
// It prints its own summary and exits with the number of failed checks.
var prefix = WScript.Arguments.length > 0 ? WScript.Arguments.Item(0) : "";
var passed = 0, failed = 0;

function check(ok, what) {
    if (ok) {
        passed++;
    } else {
        failed++;
        WScript.Echo("FAIL: " + what);
    }
}

function codes(text) {
    var units = [];
    for (var i = 0; i < text.length; i++) units.push(text.charCodeAt(i).toString(16));
    return "[" + units.join(" ") + "]";
}

function expectText(actual, expected, what) {
    check(actual === expected, what + ": got " + (typeof actual === "string" ? codes(actual) : actual) +
                               ", expected " + codes(expected));
}

var home = prefix + "\u0414\u043E\u043C", cacheWord = prefix + "\u041A\u044D\u0448";
var pyotr = "\u041F\u0451\u0442\u0440", ivan = "\u0418\u0432\u0430\u043D";
var texts = ["\u4E2D\u6587", "\u0416\u0443\u043A", "\uD83D\uDE00", "caf\u00E9", "a\u0000b"];
try {
    var cache = new ActiveXObject("QuorCache.COMCache");
    cache.Initialize();
    cache.CreateCache(home, 10, 5);
    cache.CreateCache(cacheWord, 10, 5);

    for (var i = 0; i < texts.length; i++) {
        cache.Add(pyotr, texts[i], home);
        expectText(cache.Lookup(pyotr, home), texts[i], "text " + codes(texts[i]) + " round-trips");
    }
    cache.Add(ivan, "for Ivan", home);
    cache.Add(ivan, "in the other cache", cacheWord);
    expectText(cache.Lookup(pyotr, home), "a\u0000b", "Pyotr keeps his own text");
    expectText(cache.Lookup(ivan, home), "for Ivan", "Ivan keeps his");
    expectText(cache.Lookup(ivan, cacheWord), "in the other cache", "the two caches are two");
    check(cache.Count(home) === 2, "two users in " + home + ", got " + cache.Count(home));
    check(cache.Lookup(ivan, prefix + "\u041A\u042D\u0428") === null, "only ASCII letters fold in cache names");
    check(!cache.Exists("\u043F\u0451\u0442\u0440", home), "user names keep their case");

    cache.Add("ab\u0000cd", "stops at NUL", home);
    expectText(cache.Lookup("ab", home), "stops at NUL", "a user name stops at its first NUL");
    expectText(cache.Statistics(cacheWord).Name, cacheWord, "Statistics names the cache exactly");
    var names = new VBArray(cache.CacheNames()).toArray().join("|");
    check(names.indexOf(home) >= 0 && names.indexOf(cacheWord) >= 0, "CacheNames lists both, got " + codes(names));

    var users = [pyotr, ivan, "ab"];
    for (i = 0; i < users.length; i++) cache.Free(users[i], home);
    cache.Free(ivan, cacheWord);
    check(cache.Count(home) === 0 && cache.Count(cacheWord) === 0, "the script leaves no entry behind");
    cache.DestroyCache(home);
    cache.DestroyCache(cacheWord);
} catch (e) {
    check(false, "unexpected error 0x" + (e.number >>> 0).toString(16).toUpperCase() + " " + e.description);
}
WScript.Echo("Unicode JScript client: " + passed + " passed, " + failed + " failed");
WScript.Quit(failed);
