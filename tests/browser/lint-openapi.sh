#!/bin/bash
# Lints docs/openapi.yaml with the OpenAPI linter pinned in package.json (installed by
# scripts/test.sh with npm ci). Skipped (77) when the packages or node are missing. Nothing
# leaves the machine: the linter's telemetry and update check are off.
set -u
here=$(cd "$(dirname "$0")" && pwd)
cli="$here/node_modules/@redocly/cli/bin/cli.js"
if ! command -v node >/dev/null || [ ! -f "$cli" ]; then
  echo "skipped: node or @redocly/cli missing (run npm ci in tests/browser)"
  exit 77
fi
export REDOCLY_TELEMETRY=off REDOCLY_SUPPRESS_UPDATE_NOTICE=true NO_UPDATE_NOTIFIER=1
exec node "$cli" lint --format=stylish "${1:-$here/../../docs/openapi.yaml}"
