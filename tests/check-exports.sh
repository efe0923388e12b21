#!/usr/bin/env bash
# Fails unless the library's dynamic symbol table defines exactly one symbol: the function CreateAzureInfoObject.
set -euo pipefail
exports=$(nm -D --defined-only "$1" | awk '{print $2, $3}')
if ! [[ "$exports" =~ ^[TtWiI]\ CreateAzureInfoObject$ ]]; then
  echo "exported symbols: ${exports:-none}"; exit 1
fi
echo "exports: $exports"
