import pytest

import quorvel


@pytest.fixture
def q():
    return quorvel.Quorvel()


def pytest_report_header():
    # The release check reads this line to see that the suite ran against
    # the installed package, not a build tree.
    return f"quorvel imported from {quorvel.__file__}"
