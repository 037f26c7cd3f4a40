"""The readers and writers of the program's three files."""

import os
import stat

import numpy as np
import pytest

import expcoil
from expcoil import report


@pytest.mark.parametrize("name", ["windings_Straight.csv", "windings_Bent.csv", "fieldmap_Bent.csv"])
def test_reading_and_writing_again_gives_the_same_bytes(small_run, tmp_path, name):
    directory, _ = small_run
    again = tmp_path / name
    if name.startswith("windings"):
        segments, currents = expcoil.read_windings(directory / name)
        expcoil.write_windings(again, segments, currents)
    else:
        expcoil.read_fieldmap(directory / name).write_csv(again)
    assert again.read_bytes() == (directory / name).read_bytes()


def test_a_map_made_from_arrays_is_written_and_read_back(tmp_path):
    x, y, z = np.array([-0.1, 0.1]), np.array([0.0]), np.array([-1.0, 0.0, 1.25e-5])
    b = np.arange(18.0).reshape(2, 1, 3, 3) / 8
    expcoil.FieldMap(x, y, z, b).write_csv(tmp_path / "m.csv")
    text = (tmp_path / "m.csv").read_bytes()
    assert text.startswith(b"x (m),y,z, Bx (T),By,Bz\r\n-0.1,0,-1, 0,0.125,0.25\r\n-0.1,0,0, 0.375,0.5,0.625\r\n"
                           b"-0.1,0,1.25e-005, 0.75,")
    assert text.count(b"\r\n") == 7
    read = expcoil.read_fieldmap(tmp_path / "m.csv")
    assert np.array_equal(read.x, x) and np.array_equal(read.z, z) and np.array_equal(read.B, b)
    with pytest.raises(ValueError) as raised:
        expcoil.FieldMap(x, y, z, b[:, :, :2])
    assert str(raised.value) == "B must have the shape (2, 1, 3, 3), (len(x), len(y), len(z), 3) (its shape is (2, 1, 2, 3))"


TABLE = "x1 (m),y1,z1, x2,y2,z2, I (Amps)\r\n"
BLOCK = "DEFINE GSTRAIGHT\r\n1 2 3 45 90 -30\r\n0.0 0.0 0.0\r\n0.0 0.0 0.0\r\n1.000000 1.000000\r\n4\r\n5 1 'D'\r\n0 0 0\r\n0.0\r\n"


@pytest.mark.parametrize("read, text, message", [
    (expcoil.read_windings, "x1,y1\r\n", "{p}:1: not a windings table: the first line is not "
                                        "'x1 (m),y1,z1, x2,y2,z2, I (Amps)'"),
    (expcoil.read_windings, TABLE + "1,2,3, 4,5,6, 7\r\n1,2,3, 4,5,6\r\n",
     "{p}:3: expected seven numbers x1,y1,z1, x2,y2,z2, I, found '1,2,3, 4,5,6'"),
    (expcoil.read_windings, TABLE + "1,2,3, 4,5,6, nan\r\n", "{p}:2: a value is not a finite number"),
    (expcoil.read_windings, TABLE + "1,2,3, 4,5,6, 7\r\n\r\n1,2,3, 4,5,6, 7\r\n", "{p}:3: a blank line inside the data"),
    (expcoil.read_conductors, "CONDUCTOR\r\n" + BLOCK, "{p}: the file ends after line 10, where a DEFINE block "
                                                      "or QUIT should follow (a conductor file ends in QUIT)"),
    (expcoil.read_conductors, "CONDUCTOR\r\nDEFINE BR8\r\n", "{p}:2: expected DEFINE GSTRAIGHT or QUIT"),
    (expcoil.read_conductors, "CONDUCTOR\r\n" + BLOCK.replace("1 2 3 45 90 -30", "1 2 3 0 90"),
     "{p}:3: expected six numbers: x y z (mm) phi theta psi (degrees)"),
], ids=["table header", "six numbers", "nan", "blank line", "no QUIT", "other block", "short line"])
def test_a_malformed_file_names_its_line(tmp_path, read, text, message):
    path = tmp_path / "file"
    path.write_bytes(text.encode())
    with pytest.raises(expcoil.InputError) as raised:
        read(path)
    assert str(raised.value) == message.format(p=path)


def test_the_conductor_reader_takes_the_blocks_in_si(tmp_path):
    path = tmp_path / "c.cond"
    path.write_bytes(("CONDUCTOR\r\n" + BLOCK + BLOCK.replace("5 1", "-2.5 1") + "QUIT\r\n").encode())
    c = expcoil.read_conductors(path)
    assert np.array_equal(c.start, [[0.001, 0.002, 0.003]] * 2)
    assert np.allclose(c.angles, [[np.pi / 4, np.pi / 2, -np.pi / 6]] * 2, rtol=1e-15, atol=0)
    assert np.array_equal(c.length, [0.004] * 2) and np.array_equal(c.current, [5.0, -2.5])


def test_files_that_cannot_be_read_or_written(tmp_path):
    with pytest.raises(FileNotFoundError) as raised:
        expcoil.read_windings(tmp_path / "none.csv")
    assert raised.value.filename == str(tmp_path / "none.csv")
    (tmp_path / "taken.csv").mkdir()
    os.mkfifo(tmp_path / "fifo.csv")  # a FIFO, like a device, must not be replaced by a regular file
    for write in (lambda p: expcoil.write_windings(p, [[[0, 0, 0], [1, 1, 1]]], [1.0]),
                  lambda p: expcoil.FieldMap([0], [0], [0], [[[[1, 2, 3]]]]).write_csv(p),
                  lambda p: report.write_atomic(p, b"{}")):
        for name, reason in (("taken.csv", "Is a directory"),
                             ("fifo.csv", "not a regular file (a FIFO), which is left as it is")):
            with pytest.raises(expcoil.WriteError) as raised:
                write(tmp_path / name)
            assert isinstance(raised.value, OSError)
            assert str(raised.value) == f"cannot write {tmp_path / name}: {reason}"
            assert raised.value.filename == str(tmp_path / name)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["fifo.csv", "taken.csv"]  # no temporary left behind
    assert stat.S_ISFIFO(os.lstat(tmp_path / "fifo.csv").st_mode)
    with pytest.raises(ValueError) as raised:
        expcoil.write_windings(tmp_path / "w.txt", [[[0, 0, 0], [1, 1, 1]]], [1.0], format="txt")
    assert str(raised.value) == 'format must be "csv" (the windings table) or "cond" (the conductor file), not "txt"'
