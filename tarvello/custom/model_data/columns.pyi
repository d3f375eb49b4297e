from typing import Any, Optional, Tuple

from .bucket import BaseBucket

# values: an Arrow array (__arrow_c_array__), a 1-D buffer (d, q, ?, O) or a
# sequence. out: a float64 buffer of one row per value, or for a
# SimpleCategoricalBucket a pair (ids, offsets) of int64 buffers, in which
# case the number of ids written is returned.
def encode(bucket: BaseBucket, values: Any, out: Any, *, mask: Optional[Any] = ...) -> Optional[int]: ...
def fast_path(bucket: BaseBucket, values: Any) -> Tuple[bool, str]: ...
def scan_rows(data: bytes, final: bool = ...) -> Tuple[int, int, int]: ...
