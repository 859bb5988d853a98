"""corvane against the shipped virtual module: the error table, discovery, connecting, entity
exchanges, refused input, raw packets, streams and threads."""

from __future__ import annotations

import os
import subprocess
import sys
import threading

import pytest

import corvane
from corvane import _corvane

# The classes the issue names; every other code is a plain CorvaneError.
EXPECTED_CLASSES = {
    "aErrNotFound": (corvane.NotFound, LookupError),
    "aErrTimeout": (corvane.Timeout, TimeoutError),
    "aErrBusy": (corvane.Busy, corvane.CorvaneError),
    "aErrConnection": (corvane.ConnectionLost, ConnectionError),
    "aErrPermission": (corvane.PermissionDenied, PermissionError),
    "aErrParam": (corvane.InvalidParameter, ValueError),
}


@pytest.mark.parametrize("code,name,text", _corvane.error_table())
def test_every_library_code_raises_its_class(code: int, name: str, text: str) -> None:
    if code == 0:
        _corvane.check(code)  # aErrNone raises nothing
        return
    expected, builtin = EXPECTED_CLASSES.get(name, (corvane.CorvaneError, Exception))
    with pytest.raises(corvane.CorvaneError) as raised:
        _corvane.check(code, "while testing")
    error = raised.value
    assert type(error) is expected and isinstance(error, builtin)
    assert (error.code, error.name) == (code, name)
    assert str(error) == f"{text} ({name}): while testing"


def test_error_table_is_the_library_one() -> None:
    table = _corvane.error_table()
    assert [code for code, _, _ in table] == list(range(len(table)))
    assert table[0][1] == "aErrNone" and table[-1][1] == "aErrUnknown"
    assert set(EXPECTED_CLASSES) <= {name for _, name, _ in table}


def test_version_is_the_project_one() -> None:
    assert corvane.__version__ == os.environ["CORVANE_PROJECT_VERSION"]


def test_discovery_over_usb_lists_every_module(start_module) -> None:
    modules = [start_module(0x5B000001), start_module(0x5B000002, model=4)]
    found = {spec.serial: spec for spec in corvane.discover(corvane.Transport.USB)}
    for module in modules:
        spec = found[module.serial]
        assert (spec.model, spec.transport, spec.ip, spec.port) == (
            module.model, corvane.Transport.USB, None, None)
        assert spec.model_name
    assert corvane.discover(corvane.Transport.USB, timeout=0.2) != []


def test_connect_and_exchange_with_entities(peer) -> None:
    module, connect = peer
    with connect() as m:
        assert (m.connected, m.serial, m.model) == (True, module.serial, module.model)
        system = m.system
        assert system.get_serial_number() == module.serial
        assert system.get_model() == module.model
        assert isinstance(system.get_name(), bytes)
        assert all(isinstance(word, int) for word in system.get_input_power_behavior_config())
        assert isinstance(m.temperature[0].get_value(), int)
        system.set_led(1)
        assert system.get_led() == 1
        system.set_name(b"rack 7")
        assert system.get_name() == b"rack 7"
        assert system.save() is None
    assert not m.connected
    with pytest.raises(corvane.ConnectionLost):
        system.get_serial_number()


REFUSED = [
    ("value out of range", lambda m: m.system.set_led(256), corvane.InvalidParameter),
    ("negative value", lambda m: m.system.set_led(-1), corvane.InvalidParameter),
    ("index out of range", lambda m: m.temperature[256], IndexError),
    ("entity the module lacks", lambda m: m.temperature[200].get_value(), corvane.CorvaneError),
    ("unknown stream", lambda m: m.system.stream("get_nothing"), corvane.InvalidParameter),
    ("empty packet", lambda m: m.link.send(m.system.get_module(), b""), corvane.InvalidParameter),
    ("long packet", lambda m: m.link.send(2, bytes(29)), corvane.InvalidParameter),
    ("no wait", lambda m: m.link.receive(0), corvane.InvalidParameter),
]


@pytest.mark.parametrize("case,call,error", REFUSED, ids=[case[0] for case in REFUSED])
def test_refused_input_loses_nothing(peer, case, call, error) -> None:
    module, connect = peer
    with connect() as m:
        with pytest.raises(error):
            call(m)
        assert m.system.get_serial_number() == module.serial


def test_connect_refusals(start_module) -> None:
    start_module(0x5C000001)
    with pytest.raises(corvane.InvalidParameter):
        corvane.Module.connect(0)
    with pytest.raises(corvane.NotFound):
        corvane.Module.connect(0x5C0000FF)


def connects_elsewhere(serial: int) -> bool:
    """Whether another process can open the module now."""
    script = "import sys, corvane; corvane.Module.connect(int(sys.argv[1])).close()"
    return subprocess.run([sys.executable, "-c", script, str(serial)], timeout=60).returncode == 0


def test_leaving_the_block_by_an_exception_frees_the_module(start_module) -> None:
    module = start_module(0x5C000002)
    with pytest.raises(RuntimeError):
        with corvane.Module.connect(module.serial) as m:
            assert m.system.get_serial_number() == module.serial
            assert not connects_elsewhere(module.serial), "held: the next user must wait"
            raise RuntimeError("the test script failed")
    assert connects_elsewhere(module.serial)
    with corvane.Module.connect(module.serial) as again:
        assert again.system.get_serial_number() == module.serial


def test_raw_packets_echo(peer) -> None:
    _, connect = peer
    with connect() as m:
        address = m.system.get_module()
        m.link.send(address, bytes([23, 0x12, 0x34]))
        assert m.link.receive(5, match=bytes([23])) == bytes([23, 0x12, 0x34])


def test_stream_iterates_until_closed(peer) -> None:
    _, connect = peer
    with connect() as m:
        with m.system.stream("get_input_voltage") as values:
            samples = [next(values) for _ in range(3)]
        assert [s.timestamp for s in samples] == sorted({s.timestamp for s in samples})
        assert all(s.value == m.system.get_input_voltage() for s in samples)
        with pytest.raises(StopIteration):
            next(values)


def test_stream_callback_runs_on_a_pump_while_the_main_thread_waits(peer) -> None:
    _, connect = peer
    waiting = threading.Event()
    threads = set()
    with connect() as m:
        address = m.system.get_module()

        def on_value(value: corvane.StreamValue) -> None:
            threads.add(threading.current_thread().name)
            # Answered only while the main thread sits in receive(): a wait that kept the GIL
            # would starve this callback and time out.
            if waiting.is_set():
                m.link.send(address, bytes([23, 0x77]))

        with m.system.stream("get_input_voltage", on_value=on_value):
            waiting.set()
            assert m.link.receive(30, match=bytes([23, 0x77])) == bytes([23, 0x77])
    assert threads == {"corvane get_input_voltage"}


def test_a_callback_failure_is_raised_by_close(peer) -> None:
    _, connect = peer
    called = threading.Event()
    with connect() as m:
        def on_value(value: corvane.StreamValue) -> None:
            called.set()
            raise KeyError("from the callback")

        stream = m.system.stream("get_input_voltage", on_value=on_value)
        assert called.wait(30)
        with pytest.raises(KeyError):
            stream.close()
        assert m.system.get_serial_number() == m.serial


def test_two_threads_on_two_modules(start_module) -> None:
    modules = [start_module(0x5D000001), start_module(0x5D000002)]
    results = {}

    def read(serial: int) -> None:
        with corvane.Module.connect(serial) as m:
            results[serial] = {m.system.get_serial_number() for _ in range(200)}

    threads = [threading.Thread(target=read, args=(module.serial,)) for module in modules]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(120)
    assert results == {module.serial: {module.serial} for module in modules}


NAMESPACE_MARK = "CORVANE_TEST_IN_NETNS"
NAMESPACE_SETUP = (
    "ip link set lo up multicast on && ip link add v0 type veth peer name v1 && "
    "ip addr add 10.9.0.1/24 dev v0 && ip link set v0 up multicast on && "
    "ip link set v1 up multicast on && exec \"$0\" \"$@\"")


def test_tcpip_discovery_inside_a_private_network_namespace(start_module) -> None:
    if NAMESPACE_MARK not in os.environ:
        # Multicast never leaves a namespace made here: run this test again inside one.
        option = next((o for o in ("-rn", "-n")
                       if subprocess.run(["unshare", o, "true"]).returncode == 0), None)
        if option is None:
            pytest.skip("no network namespace can be made here (unshare -rn and -n fail)")
        node = f"{__file__}::test_tcpip_discovery_inside_a_private_network_namespace"
        inside = subprocess.run(
            ["unshare", option, "/bin/sh", "-c", NAMESPACE_SETUP, sys.executable, "-m", "pytest",
             "-q", "-p", "no:cacheprovider", node],
            env={**os.environ, NAMESPACE_MARK: "1"}, capture_output=True, text=True, timeout=300)
        assert inside.returncode == 0 and "1 passed" in inside.stdout, inside.stdout + inside.stderr
        return
    module = start_module(0x5E000001, "--discovery", "10.9.0.1")
    found = [s for s in corvane.discover(corvane.Transport.TCPIP) if s.serial == module.serial]
    assert found and (found[0].ip, found[0].port) == ("10.9.0.1", module.port)
    with corvane.Module.connect(module.serial, corvane.Transport.TCPIP) as m:
        assert m.system.get_serial_number() == module.serial
