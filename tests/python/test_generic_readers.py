"""Run files of both producers read by the generic tools: xarray with both
its netCDF engines, on the plug-in's file and the converter's file of one
simulated run."""
import os
import subprocess

import numpy as np
import pytest
import xarray as xr


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    d = tmp_path_factory.mktemp("run")
    subprocess.run([os.environ["READER"], "--quiet", "--outmode", "1", os.environ["RUN_JSON"],
                    "--", "-hdf5", "-xdump", "-fti", "VAC.GAUGE", "-h5", "plugin.h5"], cwd=d, check=True,
                   stdout=subprocess.DEVNULL)
    subprocess.run([os.environ["TABLE2H5"], "-o", "converter.h5", "--xml", "user_descr.xml",
                    "user_out.txt"], cwd=d, check=True, stdout=subprocess.DEVNULL)
    return {"plugin": d / "plugin.h5", "converter": d / "converter.h5"}


@pytest.mark.parametrize("engine", ["h5netcdf", "netcdf4"])
@pytest.mark.parametrize("producer", ["plugin", "converter"])
def test_channels_open_with_named_dimensions(files, engine, producer):
    path = files[producer]
    run = xr.open_dataset(path, group="run", engine=engine)
    events = run.sizes["EventId"]
    assert events == 20
    for group, dims in [("TOROID.1", {"EventId": events}),
                        ("ADC.1", {"EventId": events, "Member0Sample": 64, "Member1Sample": 64,
                                   "StatBit": 32}),
                        ("CAM.1", {"EventId": events, "PixelY": 48, "PixelX": 64}),
                        ("BPM.1", {"EventId": events})]:
        ds = xr.open_dataset(path, group="run/" + group, engine=engine)
        assert dict(ds.sizes) == dims, group
        assert not any(d.startswith("phony") for d in ds.sizes)
        # Events are labelled by ID in every group, not by position.
        np.testing.assert_array_equal(ds.indexes["EventId"], run.indexes["EventId"])
    # Channel groups merge on the one event axis, and the run selects by event ID.
    a = xr.open_dataset(path, group="run/TOROID.1", engine=engine)
    b = xr.open_dataset(path, group="run/VAC.GAUGE", engine=engine)
    merged = xr.merge([run[["Time"]], a[["Value"]].rename(Value="toroid"),
                       b[["Value"]].rename(Value="gauge")])
    assert dict(merged.sizes) == {"EventId": events}
    event = int(run.EventId[3])
    assert float(merged.sel(EventId=event).toroid) == pytest.approx(float(a.Value[3]))
    assert np.isnan(merged.gauge.values).sum() == (b.Missing.values != 0).sum()


@pytest.mark.parametrize("producer", ["plugin", "converter"])
def test_values_carry_units_and_names(files, producer):
    toroid = xr.open_dataset(files[producer], group="run/TOROID.1", engine="h5netcdf")
    assert toroid.Value.attrs["units"] == "nC"
    assert toroid.Value.attrs["long_name"] == "TOROID.1"
    bpm = xr.open_dataset(files[producer], group="run/BPM.1", engine="netcdf4")
    assert bpm.x.attrs["long_name"] == "BPM.1 x"
    assert "units" not in bpm.x.attrs  # the channel's unit is not every pair's
    adc = xr.open_dataset(files[producer], group="run/ADC.1", engine="h5netcdf")
    assert adc.Member1.attrs["long_name"] == "ADC.1 member 1"
    assert "units" not in adc.Missing.attrs
    # Description numbers are numbers in both files: a script scales by them.
    import h5py
    with h5py.File(files[producer], "r") as f:
        calib = f["run/TOROID.1"].attrs["calib"]
        assert calib == pytest.approx(1.01) and not isinstance(calib, (str, bytes))
        assert f["run/TOROID.1"].attrs["location"] == "LINAC.1"
        # The spectrum parameters and the frame header, where the XML shows them.
        member = f["run/ADC.1/Member1"].attrs
        assert (member["index"], member["ndata"], member["groups"]) == (1, 64, 1)
        assert member["inc"] == 2
        frame = f["run/CAM.1/Pixels"].attrs
        assert (frame["width"], frame["height"], frame["length"]) == (64, 48, 3072)
        assert frame["scale_x"] == pytest.approx(0.0125)


@pytest.mark.parametrize("producer", ["plugin", "converter"])
def test_viewers_find_a_default_plot(files, producer):
    import h5py
    from silx.io import nxdata

    with h5py.File(files[producer], "r") as f:
        default = nxdata.get_default(f)
        assert default is not None and default.group.name == "/run/TOROID.1"
        for name in ["TOROID.1", "BPM.1", "ADC.1", "CAM.1", "VAC.GAUGE"]:
            assert nxdata.is_valid_nxdata(f["run"][name]), name
        # Every group that says it is NXdata is valid NXdata.
        for name, g in f["run"].items():
            if g.attrs.get("NX_class") == "NXdata":
                assert nxdata.is_valid_nxdata(g), name
        assert f["run/CAM.1/Pixels"].attrs["interpretation"] == "image"
        assert f["run/ADC.1/Member1"].attrs["interpretation"] == "spectrum"
        assert "NX_class" not in f["run/MAGNET.EQ"].attrs


CELLS = ["cells_present", "cells_empty", "cells_not_found", "cells_no_image", "cells_cut_short",
         "cells_other_kind", "cells_size_differs"]


def test_both_files_code_every_cell_alike(files):
    import h5py

    with h5py.File(files["plugin"], "r") as p, h5py.File(files["converter"], "r") as c:
        channels = [n for n in p["run"] if isinstance(p["run"][n], h5py.Group)]
        assert channels == [n for n in c["run"] if isinstance(c["run"][n], h5py.Group)]
        for name in channels:
            a, b = p["run"][name], c["run"][name]
            assert a.attrs["kind"] == b.attrs["kind"], name
            # A failed conversion leaves the same empty cell in the table.
            plugin_codes = a["Missing"][:]
            converted = np.where(plugin_codes == 8, 0, plugin_codes)
            np.testing.assert_array_equal(converted, b["Missing"][:], err_msg=name)
            for key in CELLS:
                want = int(b.attrs[key])
                got = int(a.attrs[key])
                if key == "cells_present":
                    got += int(a.attrs["cells_not_converted"])
                assert got == want, (name, key)
            # The plug-in's summary is its Missing codes counted.
            assert sum(int(a.attrs[k]) for k in CELLS + ["cells_not_converted"]) == len(plugin_codes)
        assert p["run/MAGNET.EQ"].attrs["kind"] == "structured"
        assert (p["run/MAGNET.EQ/Missing"][:] == 8).sum() == 3
        assert p["run/CAM.2"].attrs["cells_no_image"] == 10
        assert "Converted" not in c["run/MAGNET.EQ"]


def gauge_summary(path, engine):
    """An analysis as a script would run it: the mean of a -fti channel, by xarray."""
    ds = xr.open_dataset(path, group="run/VAC.GAUGE", engine=engine)
    return float(ds.Value.mean()), int(ds.Value.count())


@pytest.mark.parametrize("engine", ["h5netcdf", "netcdf4"])
def test_integer_gaps_are_masked_alike_in_both_files(files, engine):
    import h5py

    with h5py.File(files["plugin"], "r") as f:
        g = f["run/VAC.GAUGE"]
        assert g.attrs["kind"] == "scalar_int"
        assert g["Value"].attrs["_FillValue"] == np.iinfo(np.int32).min
        present = g["Missing"][:] == 0
        values = g["Value"][:]
        assert 0 < present.sum() < len(present)
        want = values[present].astype(np.float64).mean()
    # Integers print exactly in the table: the same mean from either file,
    # over the present events only.
    results = [gauge_summary(files[p], engine) for p in ("plugin", "converter")]
    assert results[0] == results[1]
    assert results[0][0] == pytest.approx(want, rel=1e-12)
    assert results[0][1] == present.sum()


def test_columns_beside_a_megapixel_camera_keep_long_chunks(tmp_path):
    import h5py

    subprocess.run([os.environ["SIMULATE"], "--events", "4", "--cameras", "1", "--image",
                    "1024x1024", "--out", "big.run.json"], cwd=tmp_path, check=True)
    subprocess.run([os.environ["READER"], "--quiet", "--outmode", "1", "big.run.json", "--",
                    "-hdf5", "-xdump", "-h5", "plugin.h5"], cwd=tmp_path, check=True,
                   stdout=subprocess.DEVNULL)
    subprocess.run([os.environ["TABLE2H5"], "-o", "converter.h5", "--xml", "user_descr.xml",
                    "user_out.txt"], cwd=tmp_path, check=True, stdout=subprocess.DEVNULL)
    for name in ("plugin.h5", "converter.h5"):
        with h5py.File(tmp_path / name, "r") as f:
            pixels = f["run/CAM.1/Pixels"]
            assert pixels.shape == (4, 1024, 1024), name
            assert pixels.chunks[0] == 1, name
            one_d = []
            f.visititems(lambda n, o: one_d.append(n) if isinstance(o, h5py.Dataset)
                         and o.ndim == 1 and o.shape[0] == 4 and o.chunks else None)
            assert {"run/TOROID.1/Value", "run/CAM.1/Missing"} <= set(one_d)
            assert f["run/EventId"].chunks[0] >= 4, name
            # A frame a chunk, and every column's chunk the whole short run
            # (1024 events in a longer one), not rows as few as a frame's.
            for n in one_d:
                assert f[n].chunks[0] >= 4, (name, n, f[n].chunks)
