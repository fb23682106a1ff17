# Types of the columnar engine module. Records go in as any object with
# __arrow_c_stream__ (a pyarrow Table of the canonical record layout); tables come
# back as Arrow C stream capsules (pyarrow.RecordBatchReader._import_from_c_capsule).
from typing import Any, Protocol, TypedDict

class _ArrowStream(Protocol):
    def __arrow_c_stream__(self, requested_schema: object | None = None) -> object: ...

class EngineResult(TypedDict):
    clusters: object
    pairs: object
    golden_records: object
    telemetry: dict[str, Any]
    score_columns: list[str]
    log: list[tuple[str, str, str, int]]

def reconcile(
    yaml_str: str,
    records: _ArrowStream,
    threads: int = 0,
    profile: bool = False,
    progress: object = None,
) -> EngineResult: ...
def check_spec(yaml_str: str) -> None: ...
def explain(yaml_str: str, records: _ArrowStream) -> dict[str, Any] | None: ...
def block_key_counts(yaml_str: str, records: _ArrowStream, largest: int = 5) -> dict[str, Any]: ...
def reconcile_entities(
    yaml_str: str, entities_json: str, threads: int = 0, progress: object = None
) -> tuple[dict[str, Any], list[tuple[str, str, str, int]]]: ...
