"""What daqrun raises and warns."""


class Error(ValueError):
    """A file daqrun cannot read as asked: not a run file or index, a newer layout, an event
    selection the file cannot make. The message is one plain line."""

    def __str__(self):
        return str(self.args[0]) if self.args else ""


class ChannelNotFound(Error, KeyError):
    """An unknown channel or key. A KeyError too, so `name in run`-style code keeps working;
    __str__ from Error, since KeyError would quote the line."""


class ChangedRunFileWarning(UserWarning):
    """A run file under a campaign index is missing or changed after indexing: its events are
    left out of the index's events."""
