# Turns bench/run.sh's results.csv into Markdown tables, with the ratios
# within the run. Fields: suite, store, operation, entries, k, ns per call,
# bytes per entry, host, dll. Run with awk -F,.

function add_size(suite, n,    i, j) {  # keeps each suite's entry counts sorted
  if ((suite, n) in seen) return
  seen[suite, n] = 1
  for (i = ++count[suite]; i > 1 && sizes[suite, i - 1] + 0 > n + 0; i--) sizes[suite, i] = sizes[suite, i - 1]
  sizes[suite, i] = n
}
function ratio(a, b) { return (a == "" || b == "" || b == 0) ? "" : sprintf("%.2fx", a / b) }
function num(x) { return x == "" ? "" : sprintf("%.0f", x) }
function grouped(x,    s, out) {  # 1000000 -> 1 000 000
  s = sprintf("%d", x)
  for (out = ""; length(s) > 3; s = substr(s, 1, length(s) - 3)) out = " " substr(s, length(s) - 2) out
  return s out
}

NR == 1 { next }
{
  ns[$1, $2, $3, $4, $5] = $6
  bytes[$1, $2, $3, $4, $5] = $7
  add_size($1, $4)
  if ($1 == "com" && $2 ~ /^COMCache/) server = $2
  if ($1 == "roads" && !($2 in road_users)) { road_users[$2] = $4; roads[++road_count] = $2 }
  if ($1 == "roads" && $2 == "vtable") vtable[$3] = $6
  if ($1 == "flush") add_size("flush:" $3, $5)  # k, culled or trimmed
}

END {
  store = "CMemoryCache"; base = "baseline (map + lock)"
  if (count["store"]) {
    print ""
    print "### The store against the baseline (native, ns per operation)"
    print ""
    print "| operation | entries | CMemoryCache | baseline | store / baseline | bytes/entry, store | bytes/entry, baseline |"
    print "|---|---:|---:|---:|---:|---:|---:|"
    split("add|add with expiry|add with one expiry|lookup|remove", ops, "|")
    for (o = 1; o <= 5; o++) for (i = 1; i <= count["store"]; i++) {
      n = sizes["store", i]; op = ops[o]; against = op ~ /^add/ ? "add" : op
      s = ns["store", store, op, n, ""]; b = ns["store", base, against, n, ""]
      if (s == "") continue
      printf "| %s | %s | %s | %s | %s | %s | %s |\n", op, grouped(n), num(s), num(b), ratio(s, b),
             num(bytes["store", store, op, n, ""]), op == "add" ? num(bytes["store", base, op, n, ""]) : ""
    }
    print ""
    print "Both adds with expiry times are set against the baseline's `add`."
  }
  if (count["com"]) {
    print ""
    print "### " server " against its references (under Wine, ns per call)"
    print ""
    print "| operation | users | COMCache | baseline (map + lock) | Scripting.Dictionary | vs baseline | vs dictionary |"
    print "|---|---:|---:|---:|---:|---:|---:|"
    split("Add|Get", ops, "|")
    for (o = 1; o <= 2; o++) for (i = 1; i <= count["com"]; i++) {
      n = sizes["com", i]; op = ops[o]
      c = ns["com", server, op, n, ""]; b = ns["com", "baseline (map + lock)", op, n, ""]
      d = ns["com", "Scripting.Dictionary", op, n, ""]
      printf "| %s | %s | %s | %s | %s | %s | %s |\n", op, grouped(n), num(c), num(b), num(d), ratio(c, b), ratio(c, d)
    }
    for (i = 1; i <= count["com"]; i++) {
      n = sizes["com", i]
      c = bytes["com", server, "Add", n, ""]; b = bytes["com", "baseline (map + lock)", "Add", n, ""]
      d = bytes["com", "Scripting.Dictionary", "Add", n, ""]
      printf "| bytes/entry | %s | %s | %s | %s | %s | %s |\n", grouped(n), num(c), num(b), num(d), ratio(c, b), ratio(c, d)
    }
  }
  if (road_count) {
    print ""
    print "### The roads to a registered COMCache (ns per call)"
    print ""
    print "| road | users | Add | Get | Add / vtable | Get / vtable |"
    print "|---|---:|---:|---:|---:|---:|"
    for (r = 1; r <= road_count; r++) {
      n = road_users[roads[r]]; a = ns["roads", roads[r], "Add", n, ""]; g = ns["roads", roads[r], "Get", n, ""]
      printf "| %s | %s | %s | %s | %s | %s |\n", roads[r], grouped(n), num(a), num(g), ratio(a, vtable["Add"]),
             ratio(g, vtable["Get"])
    }
  }
  if (count["flush"]) {
    print ""
    print "### One flush of a store of N entries (native)"
    print ""
    print "| entries N | expired k | trimmed t | us per flush | ns per entry removed |"
    print "|---:|---:|---:|---:|---:|"
    split("flush|flush (trim)", ops, "|")
    for (i = 1; i <= count["flush"]; i++) for (o = 1; o <= 2; o++) for (j = 1; j <= count["flush:" ops[o]]; j++) {
      n = sizes["flush", i]; k = sizes["flush:" ops[o], j]
      if (!(("flush", store, ops[o], n, k) in ns)) continue
      t = ns["flush", store, ops[o], n, k]
      printf "| %s | %s | %s | %.1f | %s |\n", grouped(n), o == 1 ? grouped(k) : 0, o == 2 ? grouped(k) : 0,
             t / 1000, (k > 0 ? num(t / k) : "")
    }
  }
}

