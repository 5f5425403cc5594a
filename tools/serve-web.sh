#!/usr/bin/env bash
# Builds the browser page and serves it on http://127.0.0.1:${PORT:-8080}/ (the demo
# without hardware: add ?demo). Open it in Chrome, Edge or Opera.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/web.sh --build
exec node web/serve.mjs --port "${PORT:-8080}" --dir web/dist
