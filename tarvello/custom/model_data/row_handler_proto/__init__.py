"""Messages in which buckets are saved; row_handler_pb2 is generated from
row_handler.proto by scripts/messages.sh."""
