"""effects.Mesh from files (STL, OBJ, PLY through trimesh) and as primitives:
what is read, the scale, the winding, and the errors for a missing file, an
unreadable one and a missing trimesh."""
import sys

import numpy as np
import pytest

from vantor import effects

trimesh = pytest.importorskip("trimesh")


def written(tmp_path, kind):
    """A 1 x 2 x 3 box in mm, its faces out, written as kind."""
    box = trimesh.creation.box(extents=(1.0, 2.0, 3.0))
    path = tmp_path / f"box.{kind}"
    box.export(path)
    return path, box


@pytest.mark.parametrize("kind", ["stl", "obj", "ply"])
def test_a_file_is_read_scaled_with_its_triangles(tmp_path, kind):
    path, box = written(tmp_path, kind)
    mesh = effects.Mesh.from_file(path, scale=0.001, stiffness=800.0, damping=1.0)
    assert (mesh.triangle_count, mesh.skipped_triangles) == (12, 0)
    assert (mesh.stiffness, mesh.damping) == (800.0, 1.0)
    # Kept scaled, in m, for drawing.
    assert np.allclose(np.ptp(mesh.vertices, axis=0), [0.001, 0.002, 0.003]) and mesh.triangles.shape == (12, 3)
    assert effects.Mesh.from_file(str(path), stiffness=800.0).triangle_count == 12


def test_the_scale_is_applied_to_the_vertices(tmp_path, monkeypatch):
    path, _ = written(tmp_path, "stl")
    seen = {}
    real = effects._native.Mesh.__init__

    def spy(self, vertices, triangles, **settings):
        seen["extent"] = np.ptp(np.asarray(vertices), axis=0)
        real(self, vertices, triangles, **settings)

    monkeypatch.setattr(effects._native.Mesh, "__init__", spy)
    effects.Mesh.from_file(path, scale=0.001, stiffness=800.0)
    assert seen["extent"] == pytest.approx([0.001, 0.002, 0.003])


@pytest.mark.parametrize("scale", [0.0, -1.0, float("nan"), True])
def test_a_bad_scale_is_refused(tmp_path, scale):
    path, _ = written(tmp_path, "stl")
    with pytest.raises(ValueError, match="^scale"):
        effects.Mesh.from_file(path, scale=scale, stiffness=800.0)


def test_a_missing_or_unreadable_file_says_which(tmp_path):
    with pytest.raises(FileNotFoundError, match="nothere.stl"):
        effects.Mesh.from_file(tmp_path / "nothere.stl", stiffness=800.0)
    garbage = tmp_path / "garbage.stl"
    garbage.write_bytes(b"\x00\x01not a mesh" * 3)
    with pytest.raises(ValueError, match="garbage.stl"):
        effects.Mesh.from_file(garbage, stiffness=800.0)
    empty = tmp_path / "empty.obj"
    empty.write_text("# nothing\n")
    with pytest.raises(ValueError, match="empty.obj"):
        effects.Mesh.from_file(empty, stiffness=800.0)


def test_without_trimesh_the_message_names_the_extra(tmp_path, monkeypatch):
    path, _ = written(tmp_path, "stl")
    monkeypatch.setitem(sys.modules, "trimesh", None)  # as if not installed: importing it fails
    with pytest.raises(ImportError, match=r"pip install VantorHardwareAPI\[mesh\]"):
        effects.Mesh.from_file(path, stiffness=800.0)


def outward(vertices, triangles, inside):
    a, b, c = (np.asarray(vertices)[np.asarray(triangles)[:, i]] for i in range(3))
    normals = np.cross(b - a, c - a)
    return bool((np.einsum("ij,ij->i", normals, (a + b + c) / 3 - inside) > 0).all())


def test_the_box_is_closed_and_faces_out():
    vertices = np.array([[0.01 if (k >> i) & 1 else -0.02 for i in range(3)] for k in range(8)])
    assert outward(vertices, effects._BOX_TRIANGLES, np.full(3, -0.005))
    box = trimesh.Trimesh(vertices, effects._BOX_TRIANGLES, process=False)
    assert box.is_watertight and box.is_winding_consistent and box.volume > 0
    mesh = effects.Mesh.box((-0.02, -0.02, -0.02), (0.01, 0.01, 0.01), stiffness=500.0)
    assert (mesh.triangle_count, mesh.skipped_triangles) == (12, 0)
    for lower, upper in [((0, 0, 0), (0.01, 0.0, 0.01)), ((0, 0), (1, 1)), ((0, 0, float("nan")), (1, 1, 1))]:
        with pytest.raises(ValueError, match="^(upper|lower)"):
            effects.Mesh.box(lower, upper, stiffness=500.0)


@pytest.mark.parametrize("subdivisions", [0, 1, 3])
def test_the_sphere_is_an_icosphere_facing_out(subdivisions):
    vertices, triangles = effects._icosphere(subdivisions)
    assert len(triangles) == 20 * 4 ** subdivisions
    assert np.linalg.norm(vertices, axis=1) == pytest.approx(1.0)
    assert outward(vertices, triangles, np.zeros(3))
    solid = trimesh.Trimesh(vertices, triangles, process=False)
    assert solid.is_watertight and solid.volume > 0
    mesh = effects.Mesh.sphere((0.0, 0.0, 0.1), 0.02, subdivisions, stiffness=500.0)
    assert (mesh.triangle_count, mesh.skipped_triangles) == (20 * 4 ** subdivisions, 0)


@pytest.mark.parametrize("center, radius, subdivisions, named", [
    ((0, 0, 0), 0.0, 3, "radius"), ((0, 0, 0), float("inf"), 3, "radius"),
    ((0, 0, 0), 0.01, 8, "subdivisions"), ((0, 0, 0), 0.01, 2.0, "subdivisions"),
    ((0, 0), 0.01, 3, "center"),
])
def test_a_bad_sphere_is_refused(center, radius, subdivisions, named):
    with pytest.raises(ValueError, match=f"^{named}"):
        effects.Mesh.sphere(center, radius, subdivisions, stiffness=500.0)
