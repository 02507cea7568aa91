#!/usr/bin/env bash
# The demo's report page in a headless browser (Debian's Chromium): both cluster maps load, the
# page logs nothing to the console, and a screenshot of it is written next to the report.
source "$(dirname "$0")/lib.sh"
if [ "$VDS_PLATFORM" != linux ]; then
  echo "the demo is a Linux program; nothing to do"
  echo "0 passed, 0 failed"
  exit 0
fi
browser=$(command -v chromium || true)
if [ -z "$browser" ]; then
  bad "no chromium (scripts/install-deps.sh installs it)"
  finish
  exit 1
fi

out="$E2E_TMP/demo"
"$VDS_STAGE/bin/velkaris-demo" --out "$out" --size 256M --files 2000 --timeout 300 >"$E2E_TMP/demo.txt" 2>&1 \
  && ok "demo ran" || { bad "demo failed: $(tail -5 "$E2E_TMP/demo.txt")"; finish; exit 1; }
report="$out/report/report.html"

# A fresh profile, and nothing that reaches out to the network.
browse() {
  local profile
  profile=$(mktemp -d "$E2E_TMP/profile.XXXXXX")
  DBUS_SESSION_BUS_ADDRESS=disabled: timeout 120 "$browser" --headless --no-sandbox --disable-gpu --disable-quic \
    --no-first-run --disable-background-networking --disable-component-update --disable-sync \
    --user-data-dir="$profile" --enable-logging=stderr --v=0 "$@"
}

# The page itself: its console (the browser logs every console message as CONSOLE) and a
# screenshot.
browse --window-size=1400,1800 --screenshot="$out/report/report-screenshot.png" "file://$report" \
  >/dev/null 2>"$E2E_TMP/browser.txt" || true
[ -s "$out/report/report-screenshot.png" ] && ok "screenshot written" || bad "no screenshot"
expect_eq "console messages of the page" "" "$(grep -F 'CONSOLE' "$E2E_TMP/browser.txt" || true)"

# A copy of the page with a probe that reports, once loaded, every picture and every error.
probe="$out/report/report-probe.html"
cat >"$probe" <<'HTML'
<script>
var problems = [];
window.addEventListener('error', function (e) {
  problems.push(e.target && e.target.src ? 'not loaded ' + e.target.src : 'error ' + e.message);
}, true);
window.addEventListener('load', function () {
  var lines = Array.from(document.images).map(function (i) {
    return (i.complete && i.naturalWidth > 0 ? 'loaded ' : 'broken ') + i.getAttribute('src');
  });
  var out = document.createElement('pre');
  out.id = 'probe';
  out.textContent = lines.concat(problems.map(function (p) { return 'problem ' + p; })).join('\n');
  document.body.appendChild(out);
});
</script>
HTML
cat "$report" >>"$probe"
browse --dump-dom "file://$probe" >"$E2E_TMP/dom.html" 2>/dev/null || true
sed -n '/<pre id="probe">/,/<\/pre>/p' "$E2E_TMP/dom.html" | sed 's/<[^>]*>//g' >"$E2E_TMP/probe.txt"
expect_eq "pictures loaded" "loaded before_1_C.png loaded after_1_C.png" "$(grep '^loaded' "$E2E_TMP/probe.txt" | sort -r | tr '\n' ' ' | sed 's/ $//')"
expect_eq "pictures broken or errors" "" "$(grep -v '^loaded' "$E2E_TMP/probe.txt" || true)"
rm -f "$probe"
# VDS_E2E_KEEP=DIR keeps the report and its screenshot for a look.
[ -z "${VDS_E2E_KEEP:-}" ] || cp -r "$out/report" "$VDS_E2E_KEEP"
finish
