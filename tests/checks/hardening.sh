#!/usr/bin/env bash
# hardening-check on the given program and libraries: PIE, stack protector,
# fortified functions, full RELRO, and control-flow integrity where the
# toolchain can mark it. The linker keeps a program's IBT/SHSTK marking only
# when every object it links carries it, the C start-up files included; where
# they do not (Debian 12 and 13), no program can pass that line.
set -euo pipefail
options=()
crti=$(${CXX:-c++} -print-file-name=crti.o)
if ! readelf -n "$crti" 2>/dev/null | grep -q 'x86 feature: .*IBT'; then
    echo "$crti carries no IBT property: control-flow integrity is not required"
    options+=(--nocfprotection)
fi
# Branch protection (PAC and BTI) is arm64's; newer hardening-check asks for
# it everywhere.
help=$(hardening-check --help 2>&1 || true)
if [ "$(uname -m)" != aarch64 ] && grep -q -- --nobranchprotection <<<"$help"; then
    options+=(--nobranchprotection)
fi
hardening-check "${options[@]}" "$@"
