# The native value encoder behind ruvo.serialize.
from typing import Any

DEFAULT_LIMITS: dict[str, int]
EXT_CODES: dict[str, int]
_C_API: object

def dump_msgpack(value: Any, /) -> bytes: ...
def dump_msgpack_lightweight_repr(value: Any, /) -> bytes: ...
def get_limits() -> dict[str, int]: ...
def set_limits(
    *,
    max_items: int,
    max_depth: int,
    max_str_bytes: int,
    max_total_bytes: int,
    max_repr_chars: int,
    light_max_items: int,
    light_max_str: int,
    object_depth: int,
    use_repr: int,
) -> None: ...
