#!/usr/bin/env bash
# Fails unless the library's dynamic symbol table defines exactly one function: CreateAzureInfoObject.
set -euo pipefail
lib="$1"
functions=$(nm -D --defined-only "$lib" | awk '$2 ~ /^[TtWiI]$/ {print $3}')
others=$(nm -D --defined-only "$lib" | awk '$2 !~ /^[TtWiI]$/ {print $3}')
if [ "$functions" != "CreateAzureInfoObject" ]; then
  echo "exported functions: ${functions:-none}"; exit 1
fi
if [ -n "$others" ]; then
  echo "other exported symbols: $others"; exit 1
fi
echo "exports: $functions"
