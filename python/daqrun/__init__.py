"""daqrun: the run files of daq-table2h5 and of the plug-in's -h5 output, and campaign indexes,
read as one kind of run.

    import daqrun
    with daqrun.open("out/hdf5/run.h5") as run:
        run.channels                            # channel names, in file order
        run["TOROID.1"].series()                # pandas, indexed by EventId, NaN where missing
        run.select(event_type="pedestal").dataframe()
        run["CAM.1"].mean()                     # mean of the present frames, a batch at a time

A run file (`/run`) and a campaign index (`/campaign`) give the same API; an index's tables are
indexed by (run, EventId). Masks come from `Missing` (and `ChanStatus` with good_status=True),
never from a value. Files are opened once each and kept in `daqrun.files`, a cache with a cap on
open files (`daqrun.files.limit`).
"""

from .channel import Channel
from .errors import ChangedRunFileWarning, ChannelNotFound, Error
from .files import files
from .run import Run, open

__all__ = ["open", "Run", "Channel", "Error", "ChannelNotFound", "ChangedRunFileWarning", "files"]
