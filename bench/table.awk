# Makes the benchmark table from the samples of one run of scripts/bench.sh.
#
#   awk -F'|' -f bench/table.awk bench/rows.txt SAMPLES
#
# rows.txt: one row per line, fields separated by "|":
#   item | figure | key | floor key, or "=NUMBER" for a fixed floor | floor label | scale | unit
# SAMPLES: "sample KEY RUN VALUE" lines (and "note TEXT" lines, listed below
# the table). Each cell is the median with the spread (min–max) over the runs,
# values multiplied by the scale. The ratio is the median of the per-run
# ratios when both sides have the same runs (the two were measured side by
# side), else the ratio of the medians; "—" when the floor is zero.

function sortn(a, n,    i, j, t) {
  for (i = 2; i <= n; i++) {
    t = a[i]
    for (j = i - 1; j >= 1 && a[j] > t; j--) a[j + 1] = a[j]
    a[j + 1] = t
  }
}
function median(a, n,    m) {
  sortn(a, n)
  if (n % 2) return a[(n + 1) / 2]
  return (a[n / 2] + a[n / 2 + 1]) / 2
}
function fmt(x,    ax) {
  ax = x < 0 ? -x : x
  if (ax >= 100) return sprintf("%.0f", x)
  if (ax >= 10) return sprintf("%.1f", x)
  return sprintf("%.2f", x)
}
# Fills vals[1..n] with the key's values (scaled); returns n.
function values(key, scale, vals,    n, r) {
  n = 0
  for (r = 0; r < maxrun[key] + 1; r++)
    if ((key, r) in v) vals[++n] = v[key, r] * scale
  return n
}
function cell(key, scale,    n, vals, lo, hi, med) {
  delete vals
  n = values(key, scale, vals)
  if (n == 0) return "—"
  med = median(vals, n)
  lo = vals[1]; hi = vals[n]
  if (n == 1) return fmt(med)
  return fmt(med) " (" fmt(lo) "–" fmt(hi) ")"
}
function trim(s) { gsub(/^ +| +$/, "", s); return s }

FNR == NR {
  if ($0 ~ /^#/ || $0 ~ /^ *$/) next
  nrows++
  for (i = 1; i <= 7; i++) row[nrows, i] = trim($i)
  next
}
$0 ~ /^sample / {
  split($0, w, " ")
  key = w[2]; run = w[3] + 0
  v[key, run] = w[4] + 0
  runs[key]++
  if (!(key in maxrun) || run > maxrun[key]) maxrun[key] = run
  next
}
$0 ~ /^note / { notes[++nnotes] = substr($0, 6); next }

END {
  print "| # | Figure | Velorin: median (min–max) | Floor / baseline: median (min–max) | Ratio | Runs |"
  print "|---|---|---|---|---|---|"
  for (i = 1; i <= nrows; i++) {
    item = row[i, 1]; figure = row[i, 2]; key = row[i, 3]; fkey = row[i, 4]
    flabel = row[i, 5]; scale = row[i, 6] + 0; unit = row[i, 7]
    if (scale == 0) scale = 1
    if (!(key in runs)) continue
    ours = cell(key, scale)
    fixed = fkey ~ /^=/
    if (fixed) {
      fmed = substr(fkey, 2) + 0
      floorcell = fmt(fmed)
    } else if (fkey != "" && (fkey in runs)) {
      floorcell = cell(fkey, scale)
      delete fv; fn = values(fkey, scale, fv); fmed = median(fv, fn)
    } else {
      floorcell = "—"; fmed = 0
    }
    if (flabel != "") floorcell = floorcell " " flabel
    delete ov; on = values(key, scale, ov); omed = median(ov, on)
    ratio = "—"
    if (fmed > 0 && !fixed && runs[key] == runs[fkey] && runs[key] > 1) {
      # Paired ratios: run r of one side beside run r of the other.
      n = 0; delete rv
      for (r = 0; r <= maxrun[key]; r++)
        if (((key, r) in v) && ((fkey, r) in v) && v[fkey, r] > 0) rv[++n] = v[key, r] / v[fkey, r]
      if (n > 0) {
        med = median(rv, n)
        ratio = sprintf("%.2f×", med)
        if (n > 1) ratio = ratio " (" sprintf("%.2f", rv[1]) "–" sprintf("%.2f", rv[n]) ")"
      }
    } else if (fmed > 0) {
      ratio = sprintf("%.2f×", omed / fmed)
    }
    printf "| %s | %s (%s) | %s | %s | %s | %d |\n", item, figure, unit, ours, floorcell, ratio, runs[key]
  }
  if (nnotes > 0) {
    print ""
    for (i = 1; i <= nnotes; i++) print "- " notes[i]
  }
}
