#!/usr/bin/env bash
# Conformance of the page-blob reader and writer with an independent Blob service:
# installs the Azurite emulator (npm) under the build folder, starts it over HTTPS
# with OAuth and a self-signed certificate, writes a page blob there with curl,
# and runs the AzuriteConformance test of
# test_plugin_diskio against it: reads with a bearer token and with a SAS URL,
# writes with a bearer token to the blob's public-cloud host name, which the
# HTTP client's connect-to setting routes to the emulator.
#
#   tests/plugin/diskio/azurite-conformance.sh BUILD_DIR
#
# Exits 77 (skipped) when Node.js/npm are absent or the package cannot be installed.
set -euo pipefail

build=$(cd "${1:?usage: $0 BUILD_DIR}" && pwd)
binary="$build/tests/test_plugin_diskio"
[[ -x "$binary" ]] || { echo "$binary not found (build target test_plugin_diskio)" >&2; exit 2; }
if ! command -v node > /dev/null || ! command -v npm > /dev/null; then
  echo "SKIPPED: Node.js/npm are not installed; the Azurite conformance test needs them" >&2
  exit 77
fi
prefix="$build/azurite"
if [[ ! -x "$prefix/node_modules/.bin/azurite-blob" ]]; then
  npm install --prefix "$prefix" azurite@3.37.0 --no-audit --no-fund > "$build/azurite-npm.log" 2>&1 || {
    echo "SKIPPED: npm could not install azurite (see $build/azurite-npm.log)" >&2
    exit 77
  }
fi

work=$(mktemp -d)
pid=""
cleanup() { [[ -n "$pid" ]] && kill -KILL "$pid" 2> /dev/null; wait "$pid" 2> /dev/null || true; rm -rf "$work"; }
trap cleanup EXIT

openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj "/CN=127.0.0.1" \
  -addext "subjectAltName=IP:127.0.0.1,DNS:localhost,DNS:devstoreaccount1.blob.core.windows.net" -keyout "$work/key.pem" -out "$work/cert.pem" 2> /dev/null
port=$(( 20000 + RANDOM % 20000 ))
"$prefix/node_modules/.bin/azurite-blob" --blobHost 127.0.0.1 --blobPort "$port" --oauth basic \
  --cert "$work/cert.pem" --key "$work/key.pem" --location "$work/data" --silent > "$work/azurite.log" 2>&1 &
pid=$!
base="https://127.0.0.1:$port/devstoreaccount1"
for _ in $(seq 100); do curl -s --cacert "$work/cert.pem" -o /dev/null "$base?comp=list" && break; sleep 0.2; done

b64url() { openssl base64 -A | tr '+/' '-_' | tr -d '='; }
now=$(date +%s)
header=$(printf '{"alg":"RS256","typ":"JWT"}' | b64url)
claims=$(printf '{"aud":"https://storage.azure.com","iss":"https://sts.windows.net/%s/","iat":%d,"nbf":%d,"exp":%d,"oid":"%s"}' \
  "72f988bf-86f1-41af-91ab-2d7cd011db47" "$((now - 60))" "$((now - 60))" "$((now + 3600))" \
  "11059fcc-5514-4800-b5f8-49808b9cfab6" | b64url)
token="$header.$claims.$(printf 'signature' | b64url)"
auth=(--cacert "$work/cert.pem" -sf -H "Authorization: Bearer $token" -H "x-ms-version: 2020-10-02")

# A page blob of 13 MiB + 512 bytes with random content, written in 4 MiB pages.
size=$(( 13 * 1024 * 1024 + 512 ))
head -c "$size" /dev/urandom > "$work/blob.bin"
curl "${auth[@]}" -X PUT -H "Content-Length: 0" "$base/conformance?restype=container" > /dev/null
curl "${auth[@]}" -X PUT -H "Content-Length: 0" -H "x-ms-blob-type: PageBlob" \
  -H "x-ms-blob-content-length: $size" "$base/conformance/disk.vhd" > /dev/null
piece=$(( 4 * 1024 * 1024 ))
for (( at = 0; at < size; at += piece )); do
  len=$(( size - at < piece ? size - at : piece ))
  dd if="$work/blob.bin" of="$work/piece" bs=512 skip=$(( at / 512 )) count=$(( len / 512 )) status=none
  curl "${auth[@]}" -X PUT -H "x-ms-page-write: update" -H "x-ms-range: bytes=$at-$(( at + len - 1 ))" \
    --data-binary "@$work/piece" "$base/conformance/disk.vhd?comp=page" > /dev/null
done

# Read-only SAS for the blob, signed with the emulator account's well-known key.
key="Eby8vdM02xNOcqFlqUwJPLlmEtlCDXJ1OUzFT50uSRZ6IFsuFq2UVErCz4I6tq/K1SZFPTOtr/KBHBeksoGMGw=="
expiry=$(date -u -d "+1 hour" +%Y-%m-%dT%H:%M:%SZ)
hexkey=$(python3 -c 'import base64, sys; print(base64.b64decode(sys.argv[1]).hex())' "$key")
sig=$(printf 'r\n\n%s\n/blob/devstoreaccount1/conformance/disk.vhd\n\n\n\n2018-03-28\n\n\n\n\n' "$expiry" | openssl dgst -sha256 -mac HMAC -macopt "hexkey:$hexkey" -binary | base64 -w0)
enc() { python3 -c 'import sys, urllib.parse; print(urllib.parse.quote(sys.argv[1], safe=""))' "$1"; }
sas="sv=2018-03-28&sr=b&sp=r&se=$(enc "$expiry")&sig=$(enc "$sig")"

AZURITE_BLOB_URL="$base/conformance/disk.vhd" AZURITE_TOKEN="$token" AZURITE_SAS="$sas" \
AZURITE_CA="$work/cert.pem" AZURITE_BLOB_FILE="$work/blob.bin" \
AZURITE_CONNECT_TO="::127.0.0.1:$port" \
  "$binary" --gtest_filter='AzuriteConformance.*' 2>&1 | tee "$work/test.log"
grep -q '\[  PASSED  \] 1 test\.' "$work/test.log"
