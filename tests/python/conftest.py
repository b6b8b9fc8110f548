from quennet.testing import pytest_configure, virtual_validator  # noqa: F401
