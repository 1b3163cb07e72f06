import quarvel


def test_version():
    assert quarvel.__version__ == "0.3.0"
