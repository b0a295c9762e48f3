# Writes the gnuplot script of cost.png from bench/run.sh's results.csv: ns
# per call against entries, log-log, one line per store and operation, in
# up to three panels (the native store, COMCache under Wine, one flush).
# Colour follows the operation; the line's dashes follow the store (solid
# for this project's, dashed for the baseline, dotted for the dictionary).
# Fields: suite, store, operation, entries, k, ns per call, bytes per entry,
# host, dll. Run with awk -F, -v png=OUTPUT.

# Adds a point to the series `name` of `panel`; colour and dashes are the
# series' style, and also its place in the legend.
function point(panel, name, colour, dashes, x, y,    s, i) {
  s = panel SUBSEP name
  if (!(s in series_of)) {
    series_of[s] = ++series_count
    series_panel[series_count] = panel; series_name[series_count] = name
    series_colour[series_count] = colour; series_dashes[series_count] = dashes
  }
  s = series_of[s]
  for (i = ++points[s]; i > 1 && px[s, i - 1] + 0 > x + 0; i--) { px[s, i] = px[s, i - 1]; py[s, i] = py[s, i - 1] }
  px[s, i] = x; py[s, i] = y
}
function dashes_of(store) { return store ~ /^baseline/ ? 2 : store ~ /^Scripting/ ? 3 : 1 }

BEGIN { colour["add"] = 1; colour["add with expiry"] = 2; colour["lookup"] = 3; colour["remove"] = 4
        colour["add with one expiry"] = 5
        colour["Add"] = 1; colour["Get"] = 3 }
NR == 1 { next }
$1 == "store" { point(1, $2 " " $3, colour[$3], dashes_of($2), $4, $6) }
$1 == "com" { point(2, $2 " " $3, colour[$3], dashes_of($2), $4, $6); dll = $9 }
$1 == "flush" {
  # colour by the count's order of magnitude (0, 100, 10 000), dashed for a trim
  trim = $3 != "flush"
  point(3, trim ? "t = " $5 " trimmed" : "k = " $5 " expired", 1 + int(log($5 + 1) / log(100)), trim ? 2 : 1, $4, $6)
}

END {
  print "set terminal pngcairo size 1800,700 font 'sans,10'"
  print "set termoption noenhanced"
  print "set output '" png "'"
  for (s = 1; s <= series_count; s++) {
    printf "$s%d << EOD\n", s
    for (i = 1; i <= points[s]; i++) print px[s, i], py[s, i]
    print "EOD"
  }
  for (s = 1; s <= series_count; s++) shown[series_panel[s]] = 1
  panels = (1 in shown) + (2 in shown) + (3 in shown)
  printf "set multiplot layout 1,%d title 'How cost grows: ns per call against entries (log-log)'\n", panels
  print "set logscale xy"
  print "set grid"
  print "set key below"
  print "set bmargin 13"
  split("the store against a locked unordered_map (native)|COMCache and its references (under Wine, DLL: " dll ")|one flush of N entries (native)", titles, "|")
  split("keys|users|entries N", xlabels, "|")
  split("ns per operation|ns per call|ns per flush", ylabels, "|")
  for (panel = 1; panel <= 3; panel++) {
    if (!(panel in shown)) continue
    printf "set title '%s'\nset xlabel '%s'\nset ylabel '%s'\n", titles[panel], xlabels[panel], ylabels[panel]
    line = ""
    # legend order: by colour, then by dashes
    for (c = 1; c <= 8; c++) for (d = 1; d <= 3; d++) for (s = 1; s <= series_count; s++) {
      if (series_panel[s] != panel || series_colour[s] != c || series_dashes[s] != d) continue
      line = line (line == "" ? "plot " : ", ") sprintf("$s%d with linespoints lw 2 lc %d dt %d pt %d title '%s'", s,
                                                         c, d, d + 5, series_name[s])
    }
    print line
  }
  print "unset multiplot"
}
