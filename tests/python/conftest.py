import pathlib

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
EXAMPLES = ROOT / "examples"


@pytest.fixture(scope="session")
def native():
    import velatro._native as native

    return native


@pytest.fixture(scope="session")
def customer_yaml():
    return (EXAMPLES / "customer.yaml").read_text(encoding="utf-8")
