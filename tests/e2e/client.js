// What a JScript page can do with a registered QuorCache. JScript has no way to
// pass an [out] argument, so Get and GetMessageFromExchange are left to the
// VBScript and C++ clients (as is the flush, which the VBScript client waits
// for); Free's result tells here which entries exist.
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
expect(function () { cache.Terminate(); }, 0, "Terminate a second time");

cache = null;
versioned = null;
finish();
