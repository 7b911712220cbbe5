# Sourced by the benchmarks: the reference payload in $work/payload, made
# once from files on this machine, and Wine paths of Linux ones.
payload=$work/payload
windows_path() { local p=${1//\//\\}; echo "Z:$p"; }

# --- The reference payload: a few large files, then shared libraries, then
# text, taken in sorted order so the same machine always gives the same set.
make_payload() {
  rm -rf "$payload"; mkdir -p "$payload"
  local list=$work/files.txt
  # About 2,000 files: a few large libraries, the small shared libraries,
  # text in nested directories, then medium libraries up to the size.
  # Distinct inodes only: several large drivers are hard links of one file.
  {
    find /usr/lib/x86_64-linux-gnu /usr/lib/wine -type f -size +10M -size -60M -not -path '*/dri/*' | sort | sed -n 1,4p
    find /usr/lib/x86_64-linux-gnu -type f -name '*.so*' -size -1024k | sort
    find /usr/share/doc /usr/include -type f | sort | sed -n 1,850p
    find /usr/lib/x86_64-linux-gnu -type f -name '*.so*' -size +1023k -size -10M | sort
  } | grep -E '^[A-Za-z0-9_./+-]+$' | awk '!seen[tolower($0)]++' | xargs stat -c '%i %n' | awk '!inode[$1]++ {print $2}' > "$list"
  local total=0 count=0 limit=$((330 * 1000 * 1000))
  cp /usr/lib/x86_64-linux-gnu/wine/x86_64-windows/kernelbase.dll "$payload/app.dll"
  while read -r file && (( total < limit && count < 1969 )); do
    mkdir -p "$payload/$(dirname "${file#/}")"
    cp "$file" "$payload/${file#/}"
    total=$((total + $(stat -c %s "$file"))); count=$((count + 1))
  done < "$list"
  # A payload file may name a directory another one needs as a file; drop such clashes.
  echo "payload: $((count + 1)) files, $(du -sb "$payload" | cut -f1) bytes"
}

ensure_payload() { [[ -f $payload/app.dll ]] || make_payload; }

# reference_block LEVEL: the reference payload with the test application
# as its entry, packed once at LEVEL into a block, repacked when the
# application changed; its path. Executables are linked from it in every
# run, so that each carries the bootstrap as it is now.
reference_block() {
  local level=$1 block=$work/reference-app-$1.block
  local app_dll=$build/windows/tests/e2e/apps/report/report_app.dll
  ensure_payload
  if [[ ! -d $work/payload-app ]]; then
    rm -rf "$work/payload-app.part"
    cp -al "$payload" "$work/payload-app.part"
    mv "$work/payload-app.part" "$work/payload-app"
  fi
  if ! cmp -s "$app_dll" "$work/payload-app/report_app.dll"; then
    rm -f "$work/payload-app/report_app.dll" "$block"
    cp "$app_dll" "$work/payload-app/report_app.dll"
  fi
  # Through a new name: a benchmark stopped while packing leaves no half block.
  if [[ ! -f $block ]]; then
    "$build/host/onefile-pack" create --level "$level" --entry report_app.dll -o "$block.part" \
      "$work/payload-app" > /dev/null
    mv "$block.part" "$block"
  fi
  echo "$block"
}
