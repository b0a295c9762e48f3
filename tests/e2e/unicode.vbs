' Names and texts outside the ANSI code page, from VBScript. The script host
' reads a script in the ANSI code page, so the names and texts come from a
' UTF-16 file (C:\e2e\unicode_samples.txt) that the test writes. What is
' added comes back exactly through Get's by-reference variable, and users and
' caches that a code page would merge stay apart. The optional argument
' prefixes the cache names (farm caches). It cleans up what it made.
'
' It prints its own summary and exits with the number of failed checks.
Option Explicit
On Error Resume Next

Dim passed, failed
passed = 0
failed = 0

Sub Check(ok, what)
    If ok Then
        passed = passed + 1
    Else
        failed = failed + 1
        WScript.Echo "FAIL: " & what
    End If
End Sub

Sub CheckNoError(what)
    Check Err.Number = 0, what & " (Err.Number " & Hex(Err.Number) & ")"
    Err.Clear
End Sub

Dim fso, file, samples(8), i, prefix
Set fso = CreateObject("Scripting.FileSystemObject")
Set file = fso.OpenTextFile("C:\e2e\unicode_samples.txt", 1, False, -1)   ' -1: UTF-16
For i = 0 To 8
    samples(i) = file.ReadLine
Next
file.Close
CheckNoError "reading the samples"
prefix = ""
If WScript.Arguments.Count > 0 Then prefix = WScript.Arguments(0)

Dim home, cacheWord, cacheUpper, pyotr, ivan, cache, text, value
home = prefix & samples(0)
cacheWord = prefix & samples(1)
cacheUpper = prefix & samples(2)
pyotr = samples(3)
ivan = samples(4)

Set cache = CreateObject("QuorCache.COMCache")
cache.Initialize
cache.CreateCache home, 10, 5
cache.CreateCache cacheWord, 10, 5
CheckNoError "Initialize and CreateCache"

For i = 5 To 8
    text = samples(i)
    cache.Add pyotr, text, home
    value = Empty
    cache.Get pyotr, value, home
    CheckNoError "Add and Get of sample " & i
    Check value = text And Len(value) = Len(text), "sample " & i & " comes back exactly"
Next
cache.Add ivan, "for Ivan", home
cache.Add ivan, "in the other cache", cacheWord
cache.Get pyotr, value, home
Check value = samples(8), "Pyotr keeps his own text"
cache.Get ivan, value, home
Check value = "for Ivan", "Ivan keeps his"
cache.Get ivan, value, cacheWord
Check value = "in the other cache", "the two caches are two"
Check IsNull(cache.Lookup(ivan, cacheUpper)), "only ASCII letters fold in cache names"
Check cache.Statistics(home).Name = home, "Statistics names the cache exactly"
Dim name, listed
listed = 0
For Each name In cache.CacheNames()
    If name = home Or name = cacheWord Then listed = listed + 1
Next
Check listed = 2, "CacheNames lists both caches exactly"
CheckNoError "the reads"

cache.Free pyotr, home
cache.Free ivan, home
cache.Free ivan, cacheWord
Check cache.Count(home) = 0 And cache.Count(cacheWord) = 0, "the script leaves no entry behind"
cache.DestroyCache home
cache.DestroyCache cacheWord
CheckNoError "Free and DestroyCache"

WScript.Echo "Unicode VBScript client: " & passed & " passed, " & failed & " failed"
WScript.Quit failed
