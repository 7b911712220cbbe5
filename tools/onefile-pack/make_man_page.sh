#!/usr/bin/env bash
# make_man_page.sh PACKER OUTPUT: the manual page onefile-pack(1), made from
# the packer's own usage text (onefile-pack --help), so that it can never
# name an option the packer lacks or miss one it has.
set -euo pipefail
packer=$1
output=$2
version=$("$packer" --version | sed 's/^onefile-pack //')
{
  echo ".TH ONEFILE-PACK 1 \"\" \"onefile-pack $version\" \"User Commands\""
  echo ".SH NAME"
  echo "onefile-pack \\- pack a folder into one Windows executable that unpacks and runs it"
  echo ".SH SYNOPSIS AND OPTIONS"
  echo ".nf"
  # Backslashes escaped, and a line that begins with a dot or a quote kept as text.
  "$packer" --help | sed -e 's/\\/\\e/g' -e "s/^\\([.']\\)/\\\\\\&\\1/"
  echo ".fi"
  echo ".SH SEE ALSO"
  echo "/usr/share/doc/onefile-bootstrap/README.md: the first application, every option, the exit codes,"
  echo "the trace (MERLOX_ONEFILE_TRACE, MERLOX_ONEFILE_TRACE_FILE) and the shared cache."
} > "$output.part"
mv "$output.part" "$output"
