import pytest

import quorvel


@pytest.fixture
def q():
    return quorvel.Quorvel()
