"""A real two-node Ray cluster on this machine: the head in this network namespace, a worker node
in a namespace of its own joined by a veth pair (10.201.0.1 and 10.201.0.2, reachable between
the two only), token authentication on every node and the driver. Shards on both nodes, fed
rows and a partition, give the bits of one in-process Quillometer; the worker's raylet killed
while the head has no spare CPU ends in a timeout naming the shard; a CPU freed on the head
lets the shard be rebuilt there, still exact. Every process started here is stopped by its id,
and the namespace and veth pair are removed, whatever happens."""

import json
import os
import secrets
import shutil
import signal
import socket
import subprocess
import sys
import time

import pytest
from scale_support import COLUMNS, STATISTICS, bits, make_stream, reference

from quillometer_tools.ray import write_partitions

HEAD, WORKER = "10.201.0.1", "10.201.0.2"
TAG = f"{os.getpid() % 100_000}"
NAMESPACE, HOST_LINK, WORKER_LINK = f"qm-{TAG}", f"qmh{TAG}", f"qmw{TAG}"
STREAM = make_stream(60_000, seed=424242)  # the driver's stream

# As root, iproute2's `ip` must be there (scripts/test installs it): a missing one fails.
pytestmark = pytest.mark.skipif(
    os.geteuid() != 0, reason="a network namespace and a veth pair need root"
)


def ip(*args):
    subprocess.run(["ip", *args], check=True, capture_output=True, text=True)


def processes():
    """{pid: (parent pid, process group)} of every process on this machine."""
    table = {}
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open(f"/proc/{entry}/stat") as stat:
                    fields = stat.read().rsplit(")", 1)[1].split()
            except OSError:
                continue
            table[int(entry)] = (int(fields[1]), int(fields[2]))
    return table


def family(root):
    """The pids of `root`, its descendants and its process group (it leads a session of its
    own, so anything it started that was orphaned keeps the group)."""
    table = processes()
    found = {pid for pid, (_, group) in table.items() if group == root} | {root}
    while True:
        grown = found | {pid for pid, (parent, _) in table.items() if parent in found}
        if grown == found:
            return found & set(table)
        found = grown


def command_name(pid):
    try:
        with open(f"/proc/{pid}/comm") as comm:
            return comm.read().strip()
    except OSError:
        return ""


class RayNode:
    """`ray start --block` as a process of its own session, in a network namespace or not."""

    def __init__(self, name, args, env, tmp_path, namespace=None):
        ray = os.path.join(os.path.dirname(sys.executable), "ray")
        command = [ray, "start", "--block", "--disable-usage-stats", *args]
        if namespace:
            command = ["ip", "netns", "exec", namespace, *command]
        self.output = tmp_path / f"{name}.out"
        with open(self.output, "w") as out:
            self.process = subprocess.Popen(
                command, env=env, stdout=out, stderr=subprocess.STDOUT, start_new_session=True
            )
        self.seen = {self.process.pid}

    def remember(self):
        """Notes every process of the node now, so that a stop finds those later orphaned."""
        self.seen |= family(self.process.pid)

    def find(self, name, wait=60):
        deadline = time.monotonic() + wait
        while time.monotonic() < deadline:
            self.remember()
            found = [pid for pid in self.seen if command_name(pid) == name]
            if found:
                return found[0]
            if self.process.poll() is not None:
                break
            time.sleep(0.5)
        raise AssertionError(f"no {name} process; node output:\n{self.output.read_text()}")

    def stop(self):
        self.remember()
        for pid in self.seen:
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        self.process.wait(timeout=30)


def free_port(address):
    with socket.socket() as probe:
        probe.bind((address, 0))
        return probe.getsockname()[1]


@pytest.fixture
def network():
    """The worker's namespace and the veth pair between it and this one; removed at the end."""
    ip("netns", "add", NAMESPACE)
    try:
        ip(
            "link",
            "add",
            HOST_LINK,
            "type",
            "veth",
            "peer",
            "name",
            WORKER_LINK,
            "netns",
            NAMESPACE,
        )
        ip("addr", "add", f"{HEAD}/24", "dev", HOST_LINK)
        ip("link", "set", HOST_LINK, "up")
        for args in (
            ("addr", "add", f"{WORKER}/24", "dev", WORKER_LINK),
            ("link", "set", WORKER_LINK, "up"),
            ("link", "set", "lo", "up"),
        ):
            ip("netns", "exec", NAMESPACE, "ip", *args)
        yield
    finally:
        subprocess.run(["ip", "link", "del", HOST_LINK], capture_output=True)
        subprocess.run(["ip", "netns", "del", NAMESPACE], capture_output=True)
    assert (
        NAMESPACE
        not in subprocess.run(["ip", "netns", "list"], capture_output=True, text=True).stdout
    )


def test_two_nodes_give_the_same_bits_and_survive_the_loss_of_one(network, tmp_path):
    # As in a user's shell: without the loopback setting that start_local_ray may have given
    # this process (the driver's connect() sets it again, and must work all the same).
    env = {
        **{k: v for k, v in os.environ.items() if k != "RAY_ENABLE_WINDOWS_OR_OSX_CLUSTER"},
        "RAY_AUTH_MODE": "token",
        "RAY_AUTH_TOKEN": secrets.token_hex(32),
        "RAY_USAGE_STATS_ENABLED": "0",
        # A lost node is noticed after about 3 s instead of the default 15 or so.
        "RAY_health_check_period_ms": "1000",
        "RAY_health_check_failure_threshold": "3",
    }
    port = free_port(HEAD)
    memory = str(80 * 2**20)
    nodes = []
    driver = None
    try:
        nodes.append(
            RayNode(
                "head",
                [
                    "--head",
                    f"--node-ip-address={HEAD}",
                    f"--port={port}",
                    "--num-cpus=2",
                    '--resources={"head": 1}',
                    "--include-dashboard=false",
                    f"--object-store-memory={memory}",
                    f"--temp-dir=/tmp/qmray{TAG}h",
                ],
                env,
                tmp_path,
            )
        )
        nodes[0].find("raylet")
        nodes.append(
            RayNode(
                "worker",
                [
                    f"--address={HEAD}:{port}",
                    f"--node-ip-address={WORKER}",
                    "--num-cpus=1",
                    f"--object-store-memory={memory}",
                ],
                env,
                tmp_path,
                namespace=NAMESPACE,
            )
        )
        raylet = nodes[1].find("raylet")

        write_partitions(tmp_path / "parts", STREAM[20_000:40_000])
        started = time.monotonic()
        driver = subprocess.Popen(
            [
                sys.executable,
                os.path.join(os.path.dirname(__file__), "two_node_driver.py"),
                f"{HEAD}:{port}",
                WORKER,
                str(raylet),
                str(tmp_path / "parts"),
            ],
            env=env,
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            text=True,
            start_new_session=True,
        )
        out, err = driver.communicate(timeout=300)
        assert driver.returncode == 0, err[-3000:]
        result = json.loads(out.splitlines()[-1])
        print(
            f"driver took {time.monotonic() - started:.1f} s; node dead after "
            f"{result['node_dead_after']:.1f} s; timeout after "
            f"{result['timeout_after']:.1f} s; rebuilt in {result['rebuild_seconds']} s, "
            f"recovery {result['recovery_seconds']:.2f} s, {result['replayed_values']} values "
            f"replayed, log {result['log_bytes']} bytes\n{result['timeout_error']}"
        )
    finally:
        if driver is not None and driver.poll() is None:
            driver.kill()
            driver.wait()
        for node in reversed(nodes):
            node.stop()
        shutil.rmtree(f"/tmp/qmray{TAG}h", ignore_errors=True)

    assert sorted(result["nodes"]) == [HEAD, WORKER]
    for key, rows in (("before", STREAM[:50_000]), ("after", STREAM)):
        q = reference(rows)
        expected = {name: [bits(getattr(q, s)(name)) for s in STATISTICS] for name in COLUMNS}
        assert result[key] == expected, key

    lost = result["nodes"].index(WORKER)
    assert result["timeout_shard"] == lost
    assert result["timeout_error"].startswith(f"shard {lost} did not answer "), result
    assert "needs a node with 1 CPU free" in result["timeout_error"]
    assert "1 node alive with 0 CPU free" in result["timeout_error"]
    assert 15 <= result["timeout_after"] < 60
    assert result["nodes_after"] == [HEAD, HEAD]
    assert len(result["rebuild_seconds"]) == 1
