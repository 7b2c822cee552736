"""The emulated board: QEMU's 32-bit ARM virt machine with Debian 12's armmp
kernel, a framebuffer (virtio-gpu, 800 x 480), an xHCI USB controller with an
absolute pointer (usb-tablet) for taps, and later, plugged in while it runs,
a USB stick with the package and an FTDI serial adapter fed by the host's
simulator; a root shell on its serial console and QEMU's QMP monitor to
drive it from here."""
import json
import os
import re
import socket
import subprocess
import threading
import time

from pictures import Picture

SCREEN = (800, 480)
# QEMU's absolute pointer axes run from 0 to 0x7fff over the screen.
POINTER_MAX = 0x7FFF


class BoardError(Exception):
    pass


def connect_unix(path, timeout):
    deadline = time.monotonic() + timeout
    while True:
        try:
            sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            sock.connect(path)
            return sock
        except OSError:
            sock.close()
            if time.monotonic() > deadline:
                raise BoardError("no socket %s after %d s" % (path, timeout))
            time.sleep(0.1)


class Qmp:
    """QEMU's machine protocol: commands with their answers, and the events
    (RESET, DEVICE_DELETED, ...) with QEMU's time stamps."""

    def __init__(self, path):
        self.sock = connect_unix(path, 30)
        self.file = self.sock.makefile("rwb")
        self.lock = threading.Condition()
        self.answers = []
        self.events = []
        json.loads(self.file.readline())  # greeting
        threading.Thread(target=self._read, daemon=True).start()
        self.execute("qmp_capabilities")

    def _read(self):
        try:
            for line in self.file:
                message = json.loads(line)
                with self.lock:
                    (self.events if "event" in message else self.answers).append(message)
                    self.lock.notify_all()
        except OSError:
            pass  # QEMU ended: the answer below says so
        with self.lock:
            self.answers.append({"error": {"desc": "QMP connection closed"}})
            self.lock.notify_all()

    def execute(self, command, **arguments):
        request = {"execute": command}
        if arguments:
            request["arguments"] = arguments
        with self.lock:
            self.file.write(json.dumps(request).encode() + b"\n")
            self.file.flush()
            if not self.lock.wait_for(lambda: self.answers, 60):
                raise BoardError("QMP %s: no answer" % command)
            answer = self.answers.pop(0)
        if "error" in answer:
            raise BoardError("QMP %s: %s" % (command, answer["error"].get("desc")))
        return answer.get("return")

    def wait_event(self, name, timeout, since=0.0, match=lambda data: True):
        """The first event of that name stamped after since (host seconds)."""
        def found():
            for event in self.events:
                stamp = event["timestamp"]["seconds"] + event["timestamp"]["microseconds"] / 1e6
                if event["event"] == name and stamp >= since and match(event.get("data", {})):
                    return stamp
            return None
        with self.lock:
            if not self.lock.wait_for(lambda: found() is not None, timeout):
                raise BoardError("no %s event in %d s" % (name, timeout))
            return found()


class Console:
    """A root shell on the board's serial console (ttyAMA0, logged in by
    getty), one command at a time, each answered with its output and status."""

    PROMPT = re.compile(rb"root@board:[^\n]*# $")

    def __init__(self, path, transcript):
        self.sock = connect_unix(path, 30)
        self.transcript = transcript
        self.buffer = b""
        self.lock = threading.Condition()
        self.count = 0
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        while True:
            try:
                data = self.sock.recv(4096)
            except OSError:
                data = b""
            if not data:
                break
            self.transcript.write(data)
            self.transcript.flush()
            with self.lock:
                self.buffer += data
                self.lock.notify_all()

    def wait_for_shell(self, timeout):
        """Waits for the logged-in prompt of a (new) boot and quiets the shell."""
        with self.lock:
            if not self.lock.wait_for(lambda: self.PROMPT.search(self.buffer), timeout):
                raise BoardError("no shell on the serial console after %d s" % timeout)
            self.buffer = b""
        self.run("stty -echo -onlcr cols 500; bind 'set enable-bracketed-paste off'; PS1=; PS2=; "
                 "export SYSTEMD_PAGER= SYSTEMD_COLORS=0 TERM=dumb", check=False, in_shell=True)

    def forget(self):
        with self.lock:
            self.buffer = b""

    def run(self, command, timeout=60, check=True, in_shell=False):
        """Runs command in the shell; returns its output (str). in_shell:
        in the login shell itself, not a subshell, with the terminal as input."""
        self.count += 1
        marker = re.compile(rb"@@%d:(\d+)@@\r?\n" % self.count)
        with self.lock:
            self.buffer = b""
            # One line, the command's input from /dev/null: a command that
            # reads the terminal (apt, dpkg) would eat a marker typed ahead.
            line = command.encode() if in_shell else b"( %s ) </dev/null" % command.encode()
            self.sock.sendall(b"%s; printf '@@%d:%%s@@\\n' \"$?\"\n" % (line, self.count))
            if not self.lock.wait_for(lambda: marker.search(self.buffer), timeout):
                raise BoardError("board shell: no answer in %d s to: %s" % (timeout, command))
            found = marker.search(self.buffer)
            output = self.buffer[:found.start()].replace(b"\r", b"").decode("utf-8", "replace")
            status = int(found.group(1))
        if check and status != 0:
            raise BoardError("board shell: status %d from: %s\n%s" % (status, command, output))
        return output.strip("\n") if check else (status, output.strip("\n"))


class Board:
    """One run of the emulated board in a PID namespace of its own."""

    def __init__(self, image, overlay, workdir):
        self.image = image
        self.overlay = overlay
        self.workdir = workdir
        self.qmp_path = os.path.join(workdir, "qmp.sock")
        self.console_path = os.path.join(workdir, "console.sock")
        self.dumps = 0
        self.pointer = None
        self.log = open(os.path.join(workdir, "qemu.log"), "ab")
        self.transcript = open(os.path.join(workdir, "console.log"), "ab")
        self.power_on()

    def command(self):
        return [
            "unshare", "--pid", "--fork", "--kill-child", "--mount-proc",
            # One core: with two, every worker thread the viewer's loop starts
            # and ends costs cross-core kernel work that QEMU carries out by
            # stopping both emulated cores, and the loop, three threads a
            # cycle, managed 3 frames a second where one core shows 7.
            "qemu-system-arm", "-M", "virt,highmem=off", "-cpu", "cortex-a15", "-smp", "1", "-m", "1024",
            "-nodefaults", "-display", "none", "-nic", "none",
            # The board's reset ends this emulator, and reboot() powers on a
            # new one: after QEMU 7.2's own reset of the machine, the next
            # boot's kernel took 22 to 45 s to reach its init where a
            # power-on takes 7 to 8 s.
            "-no-reboot",
            # Without this the virt board's virtio-mmio is legacy, which
            # virtio_gpu refuses without a word: no /dev/fb0.
            "-global", "virtio-mmio.force-legacy=false",
            "-kernel", os.path.join(self.image, "vmlinuz"), "-initrd", os.path.join(self.image, "initrd.img"),
            # Under a loaded host the emulated boot is slow: systemd's 90 s
            # for a device is not enough.
            "-append", "console=ttyAMA0 quiet loglevel=3 systemd.default_timeout_start_sec=600",
            "-drive", "if=none,id=root,format=qcow2,file=" + self.overlay,
            "-device", "virtio-blk-device,drive=root",
            "-device", "virtio-gpu-device,xres=%d,yres=%d" % SCREEN,
            "-device", "qemu-xhci,id=xhci",
            "-device", "usb-tablet,id=pointer,bus=xhci.0",
            "-chardev", "socket,id=console,server=on,wait=off,path=" + self.console_path,
            "-serial", "chardev:console",
            "-qmp", "unix:%s,server=on,wait=off" % self.qmp_path,
        ]

    def power_on(self):
        for path in (self.qmp_path, self.console_path):
            if os.path.exists(path):
                os.unlink(path)
        self.powered_on = time.time()
        self.process = subprocess.Popen(self.command(), stdout=self.log, stderr=subprocess.STDOUT)
        self.qmp = Qmp(self.qmp_path)
        self.console = Console(self.console_path, self.transcript)

    def reboot(self, timeout):
        """The board's own reboot (systemctl reboot, its shutdown) up to the
        reset, then a power-on: the same disks, the pointer, no adapter."""
        self.console.forget()
        self.console.sock.sendall(b"systemctl reboot\n")
        try:
            self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            raise BoardError("the board did not reset within %d s of systemctl reboot" % timeout)
        self.console.sock.close()
        self.pointer = None
        self.power_on()

    def close(self):
        if self.process.poll() is None:
            try:
                self.qmp.execute("quit")
            except (BoardError, OSError):
                pass
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.log.close()
        self.transcript.close()

    def screen(self):
        """The board's screen now, as QEMU shows it."""
        self.dumps += 1
        path = os.path.join(self.workdir, "screen.ppm")
        self.qmp.execute("screendump", filename=path)
        return Picture.read_ppm(path)

    def tap(self, x, y):
        """A tap of the pointer at screen pixel (x, y): move, press, release,
        each a report of its own (in one command they would be one report,
        with the button already up)."""
        def axis(name, pixel, size):
            return {"type": "abs", "data": {"axis": name, "value": round(pixel * POINTER_MAX / (size - 1))}}
        # The kernel passes on only the axes that changed, and a viewer
        # started since the last tap knows no position yet: a tap on the
        # same spot again lands one pixel aside.
        if (x, y) == self.pointer:
            x, y = x + 1, y + 1
        self.pointer = (x, y)
        self.qmp.execute("input-send-event", events=[axis("x", x, SCREEN[0]), axis("y", y, SCREEN[1])])
        time.sleep(0.1)
        self.qmp.execute("input-send-event", events=[{"type": "btn", "data": {"down": True, "button": "left"}}])
        time.sleep(0.15)
        self.qmp.execute("input-send-event", events=[{"type": "btn", "data": {"down": False, "button": "left"}}])

    def attach_disk(self, path):
        """A read-only USB stick with the disk image at path."""
        self.qmp.execute("blockdev-add", **{"node-name": "package", "driver": "raw", "read-only": True,
                                            "file": {"driver": "file", "filename": path, "read-only": True}})
        self.qmp.execute("device_add", driver="usb-storage", id="package", drive="package", bus="xhci.0")

    def add_adapter(self, sensor_link):
        """The FTDI adapter, on the serial line at sensor_link (the
        simulator's), plugged in."""
        self.qmp.execute("chardev-add", id="sensor", backend={"type": "serial", "data": {"device": sensor_link}})
        self.plug_adapter()

    def unplug_adapter(self):
        # QEMU 7.2 can crash pulling out a usb-serial while its line hands it
        # bytes (usb_wakeup on the device already gone, from the main loop).
        # So do 10.0.2 (bookworm-backports), 10.0.13 (Debian 13) and 11.1.3
        # (trixie-backports): each ended with SIGSEGV within ten such unplugs,
        # 10.0.2 in usb_wakeup called from g_main_context_dispatch.
        # With the board paused for a moment the adapter's buffer is full and
        # QEMU reads nothing from the line; the board sees the same unplug.
        since = time.time() - 1
        self.qmp.execute("stop")
        try:
            time.sleep(0.1)
            self.qmp.execute("device_del", id="adapter")
            self.qmp.wait_event("DEVICE_DELETED", 10, since, lambda data: data.get("device") == "adapter")
        finally:
            self.qmp.execute("cont")

    def plug_adapter(self):
        self.qmp.execute("device_add", driver="usb-serial", id="adapter", chardev="sensor", bus="xhci.0")
