# One row for each test ctest lists, from its JUnit report: the test's name, its verdict (ok,
# FAILED, skipped, timeout, not run), its seconds and its closing line (its last line of output,
# or why it did not run). The same rows from CMake 3.25 to 4.x.
#   awk -v late=1|0 -f ctest-rows.awk LISTING CONSOLE JUNIT
# LISTING is `ctest -N`'s output; CONSOLE is ctest's own log, which alone names a timeout under
# CMake 3.x (4.x names it in the report too); JUNIT is --output-junit's file (/dev/null if none).
# late: the run reached its stop time, so that a test missing from the report was never started.
function attr(s, a) { return match(s, " " a "=\"[^\"]*\"") ? substr(s, RSTART + length(a) + 3, RLENGTH - length(a) - 4) : "" }
FILENAME == ARGV[1] && sub(/^ *Test +#[0-9]+: /, "") { order[++n] = $0 }
FILENAME == ARGV[2] && /\*\*\*Timeout/ { sub(/^.*Test +#[0-9]+: /, ""); sub(/ .*/, ""); timeout[$0] = 1 }
FILENAME != ARGV[3] { next }
/<testcase / { t = attr($0, "name"); time[t] = attr($0, "time"); status[t] = attr($0, "status") }
/<(failure|skipped) message=/ { message[t] = attr($0, "message") }
sub(/.*<system-out>/, "") { out = 1 }
out { out = !sub(/<\/system-out>.*/, ""); if (/[^ \t\r]/) last[t] = $0 }
END {
  if (n == 0) print "ctest                              FAILED        0s  it lists no tests"
  for (i = 1; i <= n; i++) {
    t = order[i]; s = status[t]; m = message[t]; f = last[t]; v = s == "run" ? "ok" : "not run"
    gsub(/&lt;/, "<", f); gsub(/&gt;/, ">", f); gsub(/&quot;/, "\"", f); gsub(/&apos;/, "'", f); gsub(/&amp;/, "\\&", f)
    if (s == "fail" && (m == "Timeout" || t in timeout)) { v = "timeout"; f = "timed out" (f == "" ? "" : "; last line: " f) }
    else if (s == "fail") v = "FAILED"
    else if (m ~ /^SKIP_/) v = "skipped"
    else if (s == "") f = late ? "not started: the deadline came first" : "no result from ctest"
    else if (f == "") f = m
    printf "%-34s %-8s %4ds  %s\n", t, v, time[t] + 0.5, f
  }
}
