"""The Python module against the library it wraps: what it reads, how it fails, what failures
leave behind, and reads on two threads. Run by scripts/test with Debian's /usr/bin/python3 and
PYTHONPATH at the module's build folder; OSTREL_OBXTOOL names the obxtool of the same build."""

import os
import subprocess
import sys
import threading
import time
import warnings

import numpy as np
import pytest

import obx

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
OBXTOOL = os.environ.get("OSTREL_OBXTOOL", os.path.join(ROOT, "build-py", "obxtool"))
HIDEOUT = os.path.join(ROOT, "models", "spy_scene_extended.obj")
SCENES = [HIDEOUT, os.path.join(ROOT, "models", "lamp", "lamp.obj"),
          os.path.join(ROOT, "models", "knot", "knot.obj")]

# Bytes a failing read may leave the process grown by over 10,000 reads, for the
# allocator's and the interpreter's own caches; a read that kept its model would
# leave megabytes.
LEAK_ALLOWANCE = 2 << 20


def write_file(directory, name, text):
    path = os.path.join(str(directory), name)
    with open(path, "w") as f:
        f.write(text)
    return path


def plural(count, word):
    return f"{count} {word}{'' if count == 1 else 's'}"


def info_of(m):
    """What `obxtool info` prints, made from the module's arrays."""
    tri = len(m.triangles)
    lines = [f"vertices: {len(m.positions)}", f"normals: {len(m.normals)}",
             f"texcoords: {len(m.texcoords)}", f"triangles: {tri}",
             f"groups: {len(m.groups)}", f"materials: {len(m.materials)}",
             f"textures: {len(m.textures)}", f"objects: {len(m.objects)}",
             f"smoothing groups: {len(set(m.smoothing[m.smoothing != 0].tolist()))}",
             f"polygons: {int(m.polygons[:, 2].sum())}",
             f"lines: {len(m.lines)}", f"points: {len(m.points)}",
             f"vertex colours: {'no' if m.colors is None else 'yes'}"]
    p = m.positions
    low, high = p.min(axis=0), p.max(axis=0)
    lines.append("bounds: " + " ".join("%g" % v for v in low) + " to " +
                 " ".join("%g" % v for v in high))
    per_object = np.bincount(m.object[m.object >= 0], minlength=len(m.objects))
    for name, count in zip(m.objects, per_object):
        lines.append(f"object {name}: {plural(count, 'triangle')}")
    per_group = np.bincount(m.group, minlength=len(m.groups))
    for name, count, material in zip(m.groups, per_group, m.group_materials):
        line = f"group {name}: {plural(count, 'triangle')}"
        if material:
            line += ", material " + m.materials[material]["name"]
        lines.append(line)
    options = ["scale", "origin", "turbulence", "bumpmultiplier", "base", "clamp", "blendu",
               "blendv", "boost", "colorcorrect", "imfchan", "texres", "type", "colorspace"]
    flags = ["-s", "-o", "-t", "-bm", "-mm", "-clamp", "-blendu", "-blendv", "-boost", "-cc",
             "-imfchan", "-texres", "-type", "-colorspace"]
    for material in m.materials:
        line = "material " + material["name"]
        if not material["maps"] and material["map_diffuse"] is not None:
            line += ": map_Kd " + material["map_diffuse"]
        for k, map_ in enumerate(material["maps"]):
            line += (", " if k else ": ") + map_["keyword"] + " " + (map_["file"] or "(none)")
            line += "".join(" " + f for o, f in zip(options, flags) if o in map_)
        if material["parameters"]:
            line += f" ({len(material['parameters'])} other statements)"
        lines.append(line)
    return lines


def file_walk(path):
    """The statements of a plain OBJ file, as a check of the module's arrays: vertex data, and
    per face its items (0-based) and the g, o, s and usemtl in force."""
    v, vn, vt, colors, faces = [], [], [], [], []
    group, obj, smooth, material = "default", None, 0, None
    with open(path) as f:
        for line in f:
            words = line.split()
            if not words:
                continue
            key, rest = words[0], words[1:]
            if key == "v":
                v.append(rest[:3])
                colors.append(rest[3:6])
            elif key == "vn":
                vn.append(rest)
            elif key == "vt":
                vt.append(rest[:2])
            elif key == "g":
                group = line[1:].strip()
            elif key == "o":
                obj = line[1:].strip()
            elif key == "s":
                smooth = 0 if rest[0] == "off" else int(rest[0])
            elif key == "usemtl":
                material = line[6:].strip()
            elif key == "f":
                items = [[int(x) - 1 if x else -1 for x in (w.split("/") + ["", ""])[:3]]
                         for w in rest]
                faces.append((items, group, obj, smooth, material))
    return v, vn, vt, colors, faces


@pytest.mark.parametrize("path", SCENES, ids=os.path.basename)
def test_reads_what_the_library_reads(path):
    m = obx.read(path)
    expected = subprocess.run([OBXTOOL, "info", "--strict", path], check=True,
                              capture_output=True, text=True).stdout.splitlines()
    assert info_of(m) == expected

    # The values, held against the file itself.
    v, vn, vt, colors, faces = file_walk(path)
    np.testing.assert_array_equal(m.positions, np.array(v, dtype=np.float32))
    np.testing.assert_array_equal(m.normals, np.array(vn, dtype=np.float32).reshape(-1, 3))
    np.testing.assert_array_equal(m.texcoords, np.array(vt, dtype=np.float32).reshape(-1, 2))
    if m.colors is not None:
        np.testing.assert_array_equal(m.colors, np.array(colors, dtype=np.float32))
    # Face by face: each makes corners - 2 triangles in file order, whose corners are the
    # face's items (a triangle's in order; a polygon's fan or ear clipping in some order).
    sizes = np.array([len(face[0]) for face in faces])
    assert len(m.triangles) == (sizes - 2).sum()
    face_of = np.repeat(np.arange(len(faces)), sizes - 2)
    items = np.full((len(faces), sizes.max(), 3), -2)
    for k, face in enumerate(faces):
        items[k, :len(face[0])] = face[0]
    corners = np.stack([m.triangles, m.triangle_texcoords, m.triangle_normals], axis=2)
    mine = items[face_of]
    single = sizes[face_of] == 3
    np.testing.assert_array_equal(corners[single], mine[single, :3])
    found = (corners[:, :, None, :] == mine[:, None, :, :]).all(axis=3).any(axis=2)
    assert found.all()
    names = [material["name"] for material in m.materials]
    for k, (what, expected) in enumerate([
            ("group", [m.groups[g] for g in m.group]),
            ("object", [m.objects[o] if o >= 0 else None for o in m.object]),
            ("smoothing", m.smoothing.tolist()),
            ("material", [names[i] if names else None for i in m.material])]):
        in_file = [faces[f][k + 1] for f in face_of]
        if what == "material":  # faces before any usemtl take their group's
            expected = [e if f is not None else None for e, f in zip(expected, in_file)]
        assert expected == in_file, what


def test_errors_carry_the_library_message(tmp_path):
    missing = str(tmp_path / "missing.obj")
    with pytest.raises(obx.Error, match=r'can\'t open data file ".*missing\.obj": '
                                        r'No such file or directory'):
        obx.read(missing)
    bad = write_file(tmp_path, "bad.obj", "v 0 0 0\nv 1 0 0\nf 1 2 3\n")
    with pytest.raises(obx.Error, match=r'out of bounds \(3 > 2\) at line 3 of ".*bad\.obj"'):
        obx.read(bad)
    # Strict, an unknown statement is the failure; lenient, a warning and the geometry.
    odd = write_file(tmp_path, "odd.obj", "v 0 0 0\nv 1 0 0\nv 0 1 0\nvp 1 2\nf 1 2 3\n")
    with pytest.raises(obx.Error, match=r'"vp" at line 4'):
        obx.read(odd)
    with pytest.warns(obx.Warning, match=r'unknown statement "vp" ignored at line 4'):
        m = obx.read(odd, lenient=True)
    np.testing.assert_array_equal(m.triangles, [[0, 1, 2]])
    # A warning made an error by the caller's filter ends the read, and no model is returned.
    with warnings.catch_warnings():
        warnings.simplefilter("error", obx.Warning)
        with pytest.raises(obx.Warning):
            obx.read(odd, lenient=True)
    with pytest.raises(obx.Error, match="cannot|can't|failed"):
        m.write(str(tmp_path / "no-such-folder" / "out.obj"))


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def test_failed_reads_leak_nothing(tmp_path):
    # Fails at the last line, once the model, its groups and the library are built.
    bad = write_file(tmp_path, "bad.obj", "mtllib ../nothing.mtl\n" + "v 1 2 3\n" * 500 +
                     "g a\nf 1 2 3\nf 1 2 600\n")
    missing = str(tmp_path / "missing.obj")

    def fail(count):
        for i in range(count):
            try:
                obx.read(bad if i % 2 else missing, lenient=True)
            except obx.Error:
                pass

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        fail(1000)  # the caches settle
        before = resident_bytes()
        fail(10000)
        grown = resident_bytes() - before
    assert grown < LEAK_ALLOWANCE, f"{grown} bytes more after 10,000 failed reads"


def test_two_threads_read_at_once(tmp_path):
    whole = obx.read(HIDEOUT)
    # Each thread's file warns of itself: a warning issued on the wrong thread, or lost,
    # changes the counts below.
    files = [write_file(tmp_path, f"w{k}.obj", f"v 0 0 0\nv 1 0 0\nv 0 1 0\nvp {k}\nf 1 2 3\n")
             for k in range(2)]
    rounds = 5
    barrier = threading.Barrier(2)
    results = [[], []]
    idents = [None, None]

    def reader(k):
        idents[k] = threading.get_ident()
        for _ in range(rounds):
            barrier.wait()
            obx.read(files[k], lenient=True)
            results[k].append(obx.read(HIDEOUT))

    # The warnings module's state is the process's: one recorder for both threads, noting
    # which thread issued each warning.
    issued = []
    with warnings.catch_warnings():
        warnings.simplefilter("always")
        warnings.showwarning = lambda message, *rest, **named: issued.append(
            (threading.get_ident(), str(message)))
        threads = [threading.Thread(target=reader, args=(k,)) for k in range(2)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    for k in range(2):
        assert [message for ident, message in issued if ident == idents[k]] == \
            [f'obxReadOBJ: unknown statement "vp" ignored at line 4 of "{files[k]}"'] * rounds
        for m in results[k]:
            np.testing.assert_array_equal(m.positions, whole.positions)
            np.testing.assert_array_equal(m.triangles, whole.triangles)

    # A read releases the GIL: another Python thread runs while it reads. With a switch
    # interval far longer than a read, a read that held the GIL would keep every other thread
    # out from before its start to after its end: no tick between t0 and t1.
    ticks = []
    stop = threading.Event()

    def ticker():
        while not stop.is_set():
            ticks.append(time.perf_counter())
            time.sleep(0.0005)

    interval = sys.getswitchinterval()
    sys.setswitchinterval(0.25)
    thread = threading.Thread(target=ticker)
    thread.start()
    try:
        overlapped = 0
        for _ in range(3):
            time.sleep(0.002)
            t0 = time.perf_counter()
            obx.read(HIDEOUT)
            t1 = time.perf_counter()
            overlapped += any(t0 < tick < t1 for tick in ticks[-100:])
    finally:
        stop.set()
        thread.join()
        sys.setswitchinterval(interval)
    assert overlapped >= 2


def test_views_share_the_model_and_outlive_rebuilds(tmp_path):
    # Two unit squares, the second's corners a hair off the first's: weld merges them.
    path = write_file(tmp_path, "squares.obj",
                      "v 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\n"
                      "v 0 0 0.00001\nv 1 0 0.00001\nv 1 1 0\n"
                      "f 1 2 3 4\nf 5 6 7\n")
    m = obx.read(path)
    before = m.positions
    assert before.base is not None and not before.flags["OWNDATA"]
    m.weld(0.001)
    np.testing.assert_array_equal(m.triangles, [[0, 1, 2], [0, 2, 3], [0, 1, 2]])
    with pytest.raises(ValueError):  # the next access hands out the same array
        m.triangles[0, 0] = 3
    assert len(m.positions) == 4 and len(before) == 7  # the old view keeps the old block
    np.testing.assert_array_equal(before[4], np.float32([0, 0, 0.00001]))
    m.vertex_normals(60)
    np.testing.assert_allclose(m.normals, [[0, 0, 1]] * len(m.normals), atol=1e-4)
    positions = m.positions
    assert m.fit() == pytest.approx(2.0)
    np.testing.assert_array_equal(positions.min(axis=0), [-1, -1, 0])  # fitted in place
    del m
    assert positions.max() == 1.0  # the view holds the model


def test_bytes_read_as_the_file():
    with open(HIDEOUT, "rb") as f:
        data = f.read()
    m = obx.read(memoryview(data), name=HIDEOUT)
    whole = obx.read(HIDEOUT)
    for name in ["positions", "normals", "texcoords", "triangles", "triangle_normals",
                 "triangle_texcoords", "material", "group", "object", "smoothing"]:
        np.testing.assert_array_equal(getattr(m, name), getattr(whole, name), err_msg=name)
    assert m.materials == whole.materials  # the library found beside name
    with pytest.raises(obx.Error, match=r'at line 2 of "memory\.obj"'):
        obx.read(b"v 0 0 0\nf 1 2 3\n")
