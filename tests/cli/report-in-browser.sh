#!/usr/bin/env bash
# Writes a sound-card test report on the simulated card (and a second beside it), opens it in
# headless Chromium with the network cut off, and checks what the browser rendered: the page's
# text, every figure's row, the three plots, and that nothing outside the file was asked for.
# QV_REPORT_SHOT=FILE keeps a screenshot of the page.
set -euo pipefail
program=$1
browser=$(command -v chromium || command -v chromium-browser || true)
if [[ -z "$browser" ]]; then
  echo "chromium is not installed (scripts/test.sh installs it)" >&2
  exit 1
fi
dir=$(mktemp -d /tmp/quorvane-report.XXXXXX)
trap 'rm -rf "$dir"' EXIT
mkdir "$dir/first" "$dir/second"
"$program" --simulated "$dir/first" >/dev/null
first=$(ls "$dir"/first/*.csv)
"$program" --simulated --beside "$first" "$dir/second" >/dev/null
page=$(ls "$dir"/second/*.html)
cp "$page" "$dir/page.html"

# Every request the page makes is refused and logged; a self-contained page makes none beyond
# itself.
flags=(--headless --no-sandbox --disable-gpu --no-first-run --disable-extensions
       --user-data-dir="$dir/profile" --proxy-server=127.0.0.1:9 --proxy-bypass-list='<-loopback>'
       --host-resolver-rules='MAP * ~NOTFOUND' --enable-logging=stderr --v=0)
timeout 60 "$browser" "${flags[@]}" --virtual-time-budget=3000 --dump-dom "file://$dir/page.html" \
  >"$dir/dom.html" 2>"$dir/browser.log" || { cat "$dir/browser.log" >&2; exit 1; }
if [[ -n "${QV_REPORT_SHOT:-}" ]]; then
  timeout 60 "$browser" "${flags[@]}" --hide-scrollbars --window-size=1100,2600 \
    --screenshot="$QV_REPORT_SHOT" "file://$dir/page.html" >/dev/null 2>&1
fi

fail=0
check() {  # check DESCRIPTION PATTERN: the rendered DOM holds PATTERN
  if ! grep -q -- "$2" "$dir/dom.html"; then
    echo "FAIL: the rendered page lacks $1 ($2)" >&2
    fail=1
  fi
}
check "its heading" "<h1>Sound card test</h1>"
check "the earlier report's column" "Beside: "
for key in gain_1k_db response_min_db response_max_db response_20hz_db response_20khz_db noise_dbfs \
           noise_dbfs_a dc_offset_percent dc_offset_lsb dynamic_range_db_a thdn_db thdn_percent thd_db \
           imd_smpte_db imd_smpte_percent imd_ccif_db imd_ccif_percent crosstalk_100hz_db \
           crosstalk_1khz_db crosstalk_10khz_db round_trip_ms round_trip_frames; do
  check "the figure $key" "<tr id=\"$key\">"
done
plots=$(grep -o "<svg " "$dir/dom.html" | wc -l)
if ((plots != 3)); then
  echo "FAIL: $plots plots rendered, not 3" >&2
  fail=1
fi
# The page names nothing to fetch: no src, no href, no url(...), no import.
if grep -Eq '(src|href)=|url\(|@import' "$page"; then
  echo "FAIL: the page refers to something outside itself:" >&2
  grep -Eo '(src|href)=[^ >]*|url\([^)]*\)|@import[^;]*' "$page" >&2
  fail=1
fi
if grep -Eq 'ERR_(PROXY|NAME_NOT|CONNECTION)|net::ERR' "$dir/browser.log"; then
  echo "FAIL: the browser tried the network:" >&2
  grep -E 'net::ERR|ERR_' "$dir/browser.log" >&2
  fail=1
fi
((fail == 0)) && echo "The report renders in $("$browser" --version 2>/dev/null | head -1) with nothing fetched."
exit $fail
