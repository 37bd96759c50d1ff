#!/usr/bin/python3
"""Reading speed of obx.read against Python's OBJ readers, one read per process, on the files
bench_reader writes (bench_reader --scenes). Run with Debian's /usr/bin/python3 after
scripts/bench (or a Release build of bench_reader and obx_python); not a test.

Each read is a new interpreter (this script with --child) that imports its reader first and
then times, in wall time, the read and the conversion to the numpy arrays a caller wants:
positions (N, 3) and triangle corner indices (M, 3), 0-based. The file is in the page cache;
per file every reader has one warm-up run, then --runs rounds of one run of each reader in
turn, so that a busy moment of the shared machine falls on all of them alike.

Usage: bench_python.py [--runs N] [--build DIR] [--markdown] [file or reader ...]
  --runs N    measured runs per reader and file (default 5)
  --build DIR Release build folder with bench/bench_reader and python/ (default build/release)
  names       only these files (full-100k, full-2m, plain-2m, quad-1m, colour-1m) and/or readers
              (obx, tinyobjloader, open3d, meshio, pywavefront, vtk)
"""

import argparse
import json
import os
import resource
import statistics
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
FILES = ["full-100k", "full-2m", "plain-2m", "quad-1m", "colour-1m"]
DEFAULT_FILES = ["full-100k", "full-2m", "plain-2m", "quad-1m"]
CHUNK = 1 << 20  # page-cache warm-up buffer


def triangulated(counts, indices, np):
    """Corner indices of faces of counts[i] corners each, as (M, 3) fans; what every reader
    that keeps polygons needs before a caller has triangles."""
    if len(counts) and (counts == 3).all():
        return indices.reshape(-1, 3)
    if len(counts) and (counts == 4).all():
        quads = indices.reshape(-1, 4)
        return np.concatenate([quads[:, [0, 1, 2]], quads[:, [0, 2, 3]]]).reshape(-1, 3)
    starts = np.concatenate([[0], np.cumsum(counts)[:-1]])
    fans = [np.stack([np.full(c - 2, indices[s]), indices[s + 1:s + c - 1], indices[s + 2:s + c]],
                     axis=1) for s, c in zip(starts, counts)]
    return np.concatenate(fans)


# ---- The readers: each returns (positions, triangles) as numpy arrays ----

def read_obx(path):
    import obx
    m = obx.read(path)
    return m.positions, m.triangles


def read_tinyobjloader(path):
    import numpy as np
    import tinyobjloader
    reader = tinyobjloader.ObjReader()
    config = tinyobjloader.ObjReaderConfig()
    config.triangulate = True
    if not reader.ParseFromFile(path, config):
        raise RuntimeError(reader.Error())
    positions = reader.GetAttrib().numpy_vertices().reshape(-1, 3)
    # Each corner's index record is (vertex, normal, texcoord).
    triangles = np.concatenate([shape.mesh.numpy_indices()[::3] for shape in reader.GetShapes()])
    return positions, triangles.reshape(-1, 3)


def read_open3d(path):
    import numpy as np
    import open3d
    mesh = open3d.io.read_triangle_mesh(path)
    return np.asarray(mesh.vertices), np.asarray(mesh.triangles)


def read_meshio(path):
    import meshio
    import numpy as np
    mesh = meshio.read(path)
    parts = []
    for block in mesh.cells:
        faces = block.data
        parts.append(triangulated(np.full(len(faces), faces.shape[1]), faces.reshape(-1), np))
    return mesh.points, np.concatenate(parts)


def read_pywavefront(path):
    import numpy as np
    import pywavefront
    scene = pywavefront.Wavefront(path, collect_faces=True, create_materials=True)
    faces = [face for mesh in scene.mesh_list for face in mesh.faces]
    return np.array(scene.vertices, dtype=np.float32), np.array(faces, dtype=np.int64)


def read_vtk(path):
    import numpy as np
    import vtk
    from vtk.util.numpy_support import vtk_to_numpy
    reader = vtk.vtkOBJReader()
    reader.SetFileName(path)
    reader.Update()
    data = reader.GetOutput()
    polys = data.GetPolys()
    offsets = vtk_to_numpy(polys.GetOffsetsArray())
    connectivity = vtk_to_numpy(polys.GetConnectivityArray())
    return vtk_to_numpy(data.GetPoints().GetData()), triangulated(np.diff(offsets), connectivity,
                                                                  np)


READERS = {
    "obx": ("obx.read", read_obx, ["obx"]),
    "tinyobjloader": ("tinyobjloader", read_tinyobjloader, ["tinyobjloader"]),
    "open3d": ("open3d read_triangle_mesh", read_open3d, ["open3d"]),
    "meshio": ("meshio", read_meshio, ["meshio"]),
    "pywavefront": ("pywavefront", read_pywavefront, ["pywavefront"]),
    "vtk": ("VTK vtkOBJReader", read_vtk, ["vtk", "vtk.util.numpy_support"]),
}


def megabytes(kilobytes):
    return kilobytes * 1024 / 1e6


def child(reader, path):
    """One read in this process; prints seconds, counts and memory as JSON."""
    import importlib
    import numpy  # every reader needs it; not part of any read
    for module in READERS[reader][2]:
        importlib.import_module(module)
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    start = time.perf_counter()
    positions, triangles = READERS[reader][1](path)
    seconds = time.perf_counter() - start
    assert positions.ndim == 2 and positions.shape[1] == 3, positions.shape
    assert triangles.ndim == 2 and triangles.shape[1] == 3, triangles.shape
    assert isinstance(positions, numpy.ndarray) and isinstance(triangles, numpy.ndarray)
    print(json.dumps({"seconds": seconds, "vertices": len(positions),
                      "triangles": len(triangles),
                      "before": megabytes(before),
                      "peak": megabytes(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss)}))


def measure(reader, scene, module_dir):
    """One read in a child; None when the reader failed or missed triangles (a reader that
    cannot read the file is shown as such, not timed)."""
    env = dict(os.environ, PYTHONPATH=module_dir)
    done = subprocess.run([sys.executable, os.path.abspath(__file__), "--child", reader,
                           scene["path"]], capture_output=True, text=True, env=env)
    if done.returncode != 0:
        print(f"bench_python: {reader} on {scene['name']} failed:\n{done.stderr}",
              file=sys.stderr)
        return None
    sample = json.loads(done.stdout.strip().splitlines()[-1])
    if sample["triangles"] != scene["triangles"]:
        print(f"bench_python: {reader} read {sample['triangles']} triangles from "
              f"{scene['name']}; it has {scene['triangles']}", file=sys.stderr)
        sample["short"] = True
    return sample


def warm(path):
    with open(path, "rb") as f:
        while f.read(CHUNK):
            pass


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--build", default=os.path.join(ROOT, "build", "release"))
    parser.add_argument("--markdown", action="store_true")
    parser.add_argument("names", nargs="*")
    parser.add_argument("--child", nargs=2, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        return child(*args.child)

    for name in args.names:
        if name not in FILES and name not in READERS:
            parser.error(f"no file or reader named {name}")
    readers = [r for r in READERS if r in args.names] or list(READERS)
    if "obx" not in readers:
        readers.insert(0, "obx")  # the ratios are against it
    files = [f for f in FILES if f in args.names] or DEFAULT_FILES
    module_dir = os.path.join(args.build, "python")
    generator = os.path.join(args.build, "bench", "bench_reader")
    listing = subprocess.run([generator, "--scenes"] + files, check=True, capture_output=True,
                             text=True).stdout
    scenes = {}
    for line in listing.splitlines():
        name, path, vertices, triangles, size = line.split()
        scenes[name] = {"name": name, "path": path, "vertices": int(vertices),
                        "triangles": int(triangles), "bytes": int(size)}

    print(f"Python {sys.version.split()[0]} ({sys.executable}); one read per process; "
          f"{args.runs} alternated rounds after one warm-up run per reader; time = read and "
          f"conversion to numpy positions and 0-based triangles; MB = 10^6 bytes.")
    for name in files:
        scene = scenes[name]
        warm(scene["path"])
        failed = {}
        for reader in readers:
            sample = measure(reader, scene, module_dir)
            if sample is None or sample.get("short"):
                failed[reader] = sample
        if "obx" in failed:
            sys.exit(f"bench_python: obx.read could not read {name}")
        samples = {r: [] for r in readers if r not in failed}
        for _ in range(args.runs):
            for reader in samples:
                sample = measure(reader, scene, module_dir)
                if sample is None or sample.get("short"):
                    sys.exit(f"bench_python: {reader} on {name} failed in a measured run")
                samples[reader].append(sample)
        rows = []
        for reader in samples:
            s = samples[reader]
            ms = [x["seconds"] * 1e3 for x in s]
            rows.append((reader, statistics.median(ms), min(ms),
                         statistics.median(x["peak"] - x["before"] for x in s),
                         s[0]["vertices"]))
        base = rows[0][1]
        print(f"\n{'### ' if args.markdown else ''}{name}: {scene['triangles']:,} triangles, "
              f"{scene['vertices']:,} vertices, {scene['bytes'] / 1e6:.1f} MB\n")
        print("| reader | median ms | min ms | MB/s | vs obx | RSS growth MB | vertices |")
        print("|---|---:|---:|---:|---:|---:|---:|")
        for reader, median, fastest, grown, vertices in rows:
            print(f"| {READERS[reader][0]} | {median:.1f} | {fastest:.1f} | "
                  f"{scene['bytes'] / 1e6 / (median / 1e3):.0f} | {median / base:.2f}x | "
                  f"{grown:.1f} | {vertices:,} |")
        for reader, sample in failed.items():
            what = (f"read {sample['triangles']:,} triangles" if sample else "failed")
            print(f"| {READERS[reader][0]} | {what}: not timed | | | | | |")
        sys.stdout.flush()


if __name__ == "__main__":
    main()
