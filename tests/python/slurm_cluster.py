"""A one-node Slurm cluster with accounting, in a temporary folder, for the workflow's tests.

munged, MariaDB, slurmdbd, slurmctld and slurmd from Debian's packages, every one with its
configuration, sockets, state and logs in the folder, listening on loopback ports picked
free; stopped by their pid files. Runs as root only (slurmd starts jobs as their user).
"""

import os
import shutil
import signal
import socket
import subprocess
import time

DAEMONS = ["/usr/sbin/munged", "/usr/sbin/mariadbd", "/usr/bin/mariadb-install-db",
           "/usr/sbin/slurmdbd", "/usr/sbin/slurmctld", "/usr/sbin/slurmd", "/usr/bin/sbatch",
           "/usr/bin/sacct", "/usr/bin/sacctmgr"]
CLUSTER = "daqtest"
ACCOUNT = "daq"
PARTITION = "debug"


class ClusterError(Exception):
    pass


def cannot_start():
    """Why no cluster can be started here, or None."""
    if os.geteuid() != 0:
        return "Slurm's daemons need root (slurmd starts jobs as their users)"
    missing = [p for p in DAEMONS if not os.access(p, os.X_OK)]
    if missing:
        return "not installed: " + ", ".join(missing)
    return None


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for(what, check, timeout, log=None):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if check():
            return
        time.sleep(0.2)
    tail = ""
    if log and os.path.exists(log):
        with open(log, errors="replace") as f:
            tail = "".join(f.readlines()[-15:])
    raise ClusterError(f"{what} did not come up in {timeout} s\n{tail}")


class Cluster:
    def __init__(self, root):
        self.root = str(root)
        self.pidfiles = []  # in start order
        self.env = dict(os.environ, SLURM_CONF=self.path("slurm.conf"), USER="root")

    def path(self, *parts):
        return os.path.join(self.root, *parts)

    def run(self, *cmd, **kw):
        return subprocess.run(cmd, env=self.env, capture_output=True, text=True, **kw)

    def start(self):
        for d in ("munge", "db", "state", "spool", "log", "jobs"):
            os.makedirs(self.path(d), mode=0o700, exist_ok=True)
        self._munge()
        self._mariadb()
        self._write_configs()
        self._slurmdbd()
        self._slurmctld()
        self._slurmd()
        return self

    def _spawn(self, pidfile, cmd, what, log):
        proc = subprocess.run(cmd, env=self.env, capture_output=True, text=True)
        if proc.returncode != 0:
            raise ClusterError(f"{what}: exit status {proc.returncode}: {proc.stderr.strip()}")
        self.pidfiles.append(pidfile)
        wait_for(f"{what}'s pid file", lambda: os.path.exists(pidfile), 20, log)

    def _munge(self):
        key = self.path("munge", "munge.key")
        with open(key, "wb") as f:
            f.write(os.urandom(1024))
        os.chmod(key, 0o600)
        self.munge_socket = self.path("munge", "munge.sock")
        self._spawn(self.path("munge", "munged.pid"),
                    ["/usr/sbin/munged", "--force", f"--socket={self.munge_socket}",
                     f"--key-file={key}", f"--log-file={self.path('log', 'munged.log')}",
                     f"--pid-file={self.path('munge', 'munged.pid')}",
                     f"--seed-file={self.path('munge', 'seed')}", "--num-threads=2"],
                    "munged", self.path("log", "munged.log"))

    def _mariadb(self):
        db, log = self.path("db"), self.path("log", "mariadb.log")
        proc = subprocess.run(["/usr/bin/mariadb-install-db", "--no-defaults", f"--datadir={db}",
                               "--user=root", "--auth-root-authentication-method=normal",
                               "--skip-test-db", "--skip-name-resolve"],
                              capture_output=True, text=True)
        if proc.returncode != 0:
            raise ClusterError(f"mariadb-install-db: {proc.stdout[-500:]}{proc.stderr[-500:]}")
        self.db_port = free_port()
        self.db_socket = self.path("mysql.sock")
        pidfile = self.path("mariadb.pid")
        # Started in the background itself: mariadbd does not fork.
        self.db_proc = subprocess.Popen(
            ["/usr/sbin/mariadbd", "--no-defaults", f"--datadir={db}", "--user=root",
             "--bind-address=127.0.0.1", f"--port={self.db_port}", f"--socket={self.db_socket}",
             f"--pid-file={pidfile}", f"--log-error={log}", "--skip-name-resolve",
             "--skip-log-bin", "--innodb-buffer-pool-size=32M",
             "--innodb-flush-log-at-trx-commit=0", "--innodb-lock-wait-timeout=900"],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)
        self.pidfiles.append(pidfile)
        wait_for("MariaDB", lambda: os.path.exists(self.db_socket) and os.path.exists(pidfile),
                 60, log)

    def _write_configs(self):
        self.dbd_port, self.ctld_port, self.slurmd_port = free_port(), free_port(), free_port()
        auth = f"AuthType=auth/munge\nAuthInfo=socket={self.munge_socket}\n"
        dbd = self.path("slurmdbd.conf")
        with open(dbd, "w") as f:
            f.write(auth + f"""DbdHost=localhost
DbdAddr=127.0.0.1
DbdPort={self.dbd_port}
SlurmUser=root
PidFile={self.path('slurmdbd.pid')}
LogFile={self.path('log', 'slurmdbd.log')}
DebugLevel=info
StorageType=accounting_storage/mysql
StorageHost=127.0.0.1
StoragePort={self.db_port}
StorageUser=root
StorageLoc=slurm_acct_db
""")
        os.chmod(dbd, 0o600)
        with open(self.path("slurm.conf"), "w") as f:
            f.write(auth + f"""ClusterName={CLUSTER}
SlurmctldHost=localhost(127.0.0.1)
SlurmctldPort={self.ctld_port}
SlurmdPort={self.slurmd_port}
SlurmUser=root
SlurmdUser=root
CredType=cred/munge
StateSaveLocation={self.path('state')}
SlurmdSpoolDir={self.path('spool')}
SlurmctldPidFile={self.path('slurmctld.pid')}
SlurmdPidFile={self.path('slurmd.pid')}
SlurmctldLogFile={self.path('log', 'slurmctld.log')}
SlurmdLogFile={self.path('log', 'slurmd.log')}
SlurmctldDebug=info
SlurmdDebug=info
ProctrackType=proctrack/pgid
TaskPlugin=task/none
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/slurmdbd
AccountingStorageHost=127.0.0.1
AccountingStoragePort={self.dbd_port}
AccountingStoragePass={self.munge_socket}
JobCompType=jobcomp/none
MpiDefault=none
SwitchType=switch/none
SchedulerType=sched/backfill
SchedulerParameters=sched_min_interval=100000
SelectType=select/cons_tres
SelectTypeParameters=CR_Core_Memory
ReturnToService=2
MinJobAge=30
InactiveLimit=0
KillWait=5
NodeName=node1 NodeHostname=localhost NodeAddr=127.0.0.1 CPUs=2 RealMemory=4000 State=UNKNOWN
PartitionName={PARTITION} Nodes=node1 Default=YES MaxTime=INFINITE State=UP
""")

    def _slurmdbd(self):
        self._spawn(self.path("slurmdbd.pid"), ["/usr/sbin/slurmdbd"], "slurmdbd",
                    self.path("log", "slurmdbd.log"))
        # The cluster, an account and root in it: Snakemake checks the account with sacctmgr.
        deadline = time.monotonic() + 60
        while True:
            proc = self.run("/usr/bin/sacctmgr", "-i", "add", "cluster", CLUSTER)
            if proc.returncode == 0 or "already exists" in proc.stdout + proc.stderr:
                break
            if time.monotonic() > deadline:
                raise ClusterError(f"sacctmgr add cluster: {proc.stdout}{proc.stderr}")
            time.sleep(0.5)
        for cmd in (["add", "account", ACCOUNT, f"cluster={CLUSTER}"],
                    ["add", "user", "root", f"account={ACCOUNT}", f"cluster={CLUSTER}"]):
            proc = self.run("/usr/bin/sacctmgr", "-i", *cmd)
            if proc.returncode != 0 and "already" not in proc.stdout + proc.stderr:
                raise ClusterError(f"sacctmgr {' '.join(cmd)}: {proc.stdout}{proc.stderr}")

    def _slurmctld(self):
        self._spawn(self.path("slurmctld.pid"), ["/usr/sbin/slurmctld"], "slurmctld",
                    self.path("log", "slurmctld.log"))

    def _slurmd(self):
        self._spawn(self.path("slurmd.pid"), ["/usr/sbin/slurmd", "-N", "node1"], "slurmd",
                    self.path("log", "slurmd.log"))

        def idle():
            out = self.run("/usr/bin/sinfo", "-h", "-o", "%t").stdout.split()
            return out and all(s.startswith("idle") for s in out)

        wait_for("the node", idle, 60, self.path("log", "slurmctld.log"))

    def ours(self):
        """Processes started by this cluster's daemons (job steps), found by their SLURM_CONF."""
        mark = ("SLURM_CONF=" + self.env["SLURM_CONF"]).encode()
        pids = []
        for entry in os.listdir("/proc"):
            if not entry.isdigit() or int(entry) == os.getpid():
                continue
            try:
                with open(f"/proc/{entry}/environ", "rb") as f:
                    if mark in f.read().split(b"\0"):
                        with open(f"/proc/{entry}/stat") as st:
                            if st.read().split(") ")[-1][:1] != "Z":
                                pids.append(int(entry))
            except OSError:
                continue
        return pids

    def stop(self):
        """Cancels the jobs left, then stops every daemon, last first, each by its own pid."""
        if self.pidfiles:
            self.run("/usr/bin/scancel", "--user=root", "--full")
            deadline = time.monotonic() + 20
            while time.monotonic() < deadline and self.run("/usr/bin/squeue", "-h").stdout.strip():
                time.sleep(0.2)
        # Slurm's daemons first, then what they use: each set stopped together.
        slurm = [p for p in self.pidfiles if os.path.basename(p).startswith("slurm")]
        for batch in (slurm, [p for p in self.pidfiles if p not in slurm]):
            pids = []
            for pidfile in batch:
                try:
                    with open(pidfile) as f:
                        pid = int(f.read().split()[0])
                    os.kill(pid, signal.SIGTERM)
                    pids.append(pid)
                except (OSError, ValueError, IndexError):
                    continue
            deadline = time.monotonic() + 20
            while pids and time.monotonic() < deadline:
                pids = [p for p in pids if self._alive(p)]
                time.sleep(0.1)
            for pid in pids:
                try:
                    os.kill(pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass
        self.pidfiles = []
        # A job step that outlived its slurmd.
        for pid in self.ours():
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass

    def _alive(self, pid):
        db = getattr(self, "db_proc", None)
        if db is not None and db.pid == pid:
            return db.poll() is None  # our child: reaped here
        try:
            with open(f"/proc/{pid}/stat") as f:
                return f.read().split(") ")[-1][:1] != "Z"
        except OSError:
            return False

    def logs(self):
        text = []
        for name in sorted(os.listdir(self.path("log"))):
            with open(self.path("log", name), errors="replace") as f:
                text.append(f"== {name}\n" + "".join(f.readlines()[-20:]))
        return "\n".join(text)

    def remove(self):
        shutil.rmtree(self.root, ignore_errors=True)
