#!/usr/bin/env bash
# Makes tarvello/custom/model_data/row_handler_proto/row_handler_pb2.py from
# row_handler.proto, to be committed with it. The compiler is Debian 12's
# protoc 3.21: its output imports under every protobuf runtime the package
# admits (3.20 on), which a newer compiler's output would not.
# tests/test_packaging.py fails while the committed module and the .proto differ.
set -euo pipefail
cd "$(dirname "$0")/../tarvello/custom/model_data/row_handler_proto"
wanted="libprotoc 3.21"
found=$(protoc --version 2>/dev/null || echo "no protoc")
case "$found" in
  "$wanted".*) ;;
  *) echo "messages.sh: needs $wanted (Debian 12: protobuf-compiler), found: $found" >&2; exit 1 ;;
esac
protoc --proto_path=. --python_out=. row_handler.proto
echo "made $PWD/row_handler_pb2.py with $found"
