from dataclasses import dataclass
from typing import Dict, Final, Optional, Tuple

ORDINARY_PROMPT_TOKENS: Final[int]

class CatalogLayoutError(RuntimeError): ...

@dataclass(frozen=True)
class CatalogEntry:
    provider: str
    model: str
    names: Tuple[str, ...]
    input: float
    output: Optional[float]

@dataclass(frozen=True)
class Catalog:
    version: str
    entries: Tuple[CatalogEntry, ...]
    models: Dict[str, Dict[str, float]]
    embeddings: Dict[str, float]
    bad_prices: int
    not_per_token: int

def read_catalog() -> Catalog: ...
def load_catalog(*, override: bool = False) -> int: ...
