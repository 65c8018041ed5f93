from zendrik import Matrix


def test_round_trip():
    m = Matrix([[1, 0, 1], [0, 1, 1]])
    assert m.to_list() == [[1, 0, 1], [0, 1, 1]]
    assert repr(m) == "[[1, 0, 1], [0, 1, 1]]"
