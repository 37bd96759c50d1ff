"""Wavefront OBJ/MTL models read by the obx library, as numpy arrays.

Arrays of the library's own data (positions, normals, texcoords, texcoord_w, colors,
facet_normals, smoothing) are views of the model's memory, kept alive by the arrays themselves:
no copy is made. fit() changes positions in place, so views show the change; weld(),
vertex_normals() and smoothing_normals() rebuild their arrays, and views taken before keep the
old values while the attribute gives the new ones.

Index arrays (triangles, triangle_normals, triangle_texcoords, material, group, object, lines,
points) are 0-based copies made on first use, with -1 for "none"; the per-triangle ones are
kept for the next access and read-only (copy one to change it).

Model methods hold the GIL; only read() releases it, so that threads read at once.
"""

import os
from typing import Any, TypedDict, Union

import numpy as np
import numpy.typing as npt

class Error(Exception):
    """A failure the library reported (unreadable or malformed file, failed write); str() is
    its message, naming the file and line."""

class Warning(UserWarning):
    """A condition the library worked around (issued through the warnings module once the
    call is over)."""

class Map(TypedDict, total=False):
    keyword: str  # as written, e.g. "map_Bump"
    file: str | None  # the image file named, as written
    scale: tuple[float, float, float]  # -s
    origin: tuple[float, float, float]  # -o
    turbulence: tuple[float, float, float]  # -t
    bumpmultiplier: float  # -bm
    base: float  # -mm
    gain: float  # -mm
    clamp: bool
    blendu: bool
    blendv: bool
    boost: float
    colorcorrect: bool  # -cc
    imfchan: str  # one of r g b m l z
    texres: int
    type: str  # -type (refl)
    colorspace: str

class Material(TypedDict):
    name: str
    diffuse: tuple[float, float, float, float]  # RGBA; alpha is the opacity
    ambient: tuple[float, float, float, float]
    specular: tuple[float, float, float, float]
    shininess: float  # OpenGL's 0..128 scale (the file's Ns * 1.28)
    map_diffuse: str | None  # map_Kd's file
    emission: tuple[float, float, float] | None  # Ke, None when the library had none
    filter: tuple[float, float, float] | None  # Tf
    ior: float | None  # Ni
    illum: int | None
    opacity: float | None  # d (or 1 - Tr)
    pbr: dict[str, float]  # the PBR values set: Pr Pm Ps Pc Pcr aniso anisor
    maps: list[Map]  # every map statement in file order, with the options its line had
    parameters: list[tuple[str, str]]  # statements the reader does not know: keyword, rest

class Model:
    """A model read by read(). Its arrays share its memory."""

    @property
    def path(self) -> str | None:
        """The path the model was read from."""
    @property
    def mtllib(self) -> str | None:
        """The last mtllib name read."""
    @property
    def positions(self) -> npt.NDArray[np.float32]:
        """(N, 3) vertex positions; a view."""
    @property
    def normals(self) -> npt.NDArray[np.float32]:
        """(K, 3) normals; a view, (0, 3) when there are none."""
    @property
    def texcoords(self) -> npt.NDArray[np.float32]:
        """(T, 2) texture coordinates; a view, (0, 2) when there are none."""
    @property
    def texcoord_w(self) -> npt.NDArray[np.float32] | None:
        """(T,) third texture values ("vt u v w"), 0 where absent; None when no line had one."""
    @property
    def colors(self) -> npt.NDArray[np.float32] | None:
        """(N, 3) vertex colours ("v x y z r g b"), 1 where absent; None when the file has none."""
    @property
    def facet_normals(self) -> npt.NDArray[np.float32]:
        """(M, 3) one unit normal per triangle ((0, 0, 0) for one without area); a view."""
    @property
    def triangles(self) -> npt.NDArray[np.int32]:
        """(M, 3) 0-based indices into positions, per triangle corner."""
    @property
    def triangle_normals(self) -> npt.NDArray[np.int32]:
        """(M, 3) 0-based indices into normals, -1 for a corner without one."""
    @property
    def triangle_texcoords(self) -> npt.NDArray[np.int32]:
        """(M, 3) 0-based indices into texcoords, -1 for a corner without one."""
    @property
    def material(self) -> npt.NDArray[np.int32]:
        """(M,) index into materials each triangle is drawn with: its usemtl's, else its
        group's; 0 is "default"."""
    @property
    def group(self) -> npt.NDArray[np.int32]:
        """(M,) index into groups of each triangle's group."""
    @property
    def object(self) -> npt.NDArray[np.int32]:
        """(M,) index into objects, -1 for triangles before the first "o"."""
    @property
    def smoothing(self) -> npt.NDArray[np.uint32]:
        """(M,) smoothing group ("s") of each triangle, 0 for none."""
    @property
    def groups(self) -> list[str]:
        """Group names in file order, "default" first."""
    @property
    def group_materials(self) -> list[int]:
        """Each group's material (index into materials), 0 when none was assigned."""
    @property
    def objects(self) -> list[str]:
        """Object ("o") names in file order."""
    @property
    def textures(self) -> list[str]:
        """Every image file the materials name, as written."""
    @property
    def polygons(self) -> npt.NDArray[np.uint32]:
        """(P, 3) runs of faces of more than three corners: first triangle, corners per face,
        faces; face k of a run is corners - 2 triangles from first + k * (corners - 2) on."""
    @property
    def lines(self) -> list[npt.NDArray[np.int32]]:
        """One (items, 2) array per "l" statement: 0-based position and texcoord (-1 none)."""
    @property
    def points(self) -> list[npt.NDArray[np.int32]]:
        """One (items, 2) array per "p" statement, as lines."""
    @property
    def materials(self) -> list[Material]:
        """Every material, "default" (index 0) first; empty when no library was read."""
    def write(
        self,
        path: Union[str, bytes, os.PathLike[str], os.PathLike[bytes]],
        *,
        normals: bool = True,
        texcoords: bool = True,
        materials: bool = True,
    ) -> None:
        """Writes the model as OBJ (and its MTL beside it, under the last part of mtllib),
        with the parts asked for that the model has. The files are replaced whole or not at
        all. Raises Error when the write fails."""
    def vertex_normals(self, angle: float = 90.0, *, keep: bool = False) -> None:
        """Computes smooth per-corner normals within the crease angle (degrees); keep=True fills
        only the corners without one."""
    def smoothing_normals(self, *, keep: bool = False) -> None:
        """Computes per-corner normals from the smoothing groups ("s")."""
    def weld(self, epsilon: float) -> None:
        """Merges positions closer than epsilon on every axis and renumbers the triangles."""
    def fit(self) -> float:
        """Centres the model on the origin and scales it into the cube -1..1, in place; returns
        the scale applied (0 for a model without size)."""

def read(
    source: Union[str, os.PathLike[str], os.PathLike[bytes], bytes, bytearray, memoryview],
    *,
    lenient: bool = False,
    name: str = "memory.obj",
    threads: int = 0,
) -> Model:
    """Reads an OBJ file, its material libraries and the names of the images they use.

    source is a path, or the file's contents as bytes or another buffer; then name stands for
    the file's path (in messages, and as the directory of the files it names). lenient=True keeps the
    geometry whatever the file's faults (bad texture or normal indices, missing libraries,
    unknown statements), with warnings. Raises Error with the library's message when the file
    cannot be read; the warnings go to the warnings module as obx.Warning. Releases the GIL
    while reading. A file of 16 MiB or more is read on threads threads (0: every core the
    process may use, 1: the calling thread alone), into the same model.
    """

