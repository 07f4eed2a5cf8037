#!/usr/bin/python3
"""larkpost-gui as a screen reader and a keyboard user meet it: through the accessibility bus
(AT-SPI) on a virtual X server, with keys typed through the X server's test extension.

    dbus-run-session -- screen_reader_test.py LARKPOST_GUI

Exits 77 (skipped) when Xvfb or the AT-SPI bindings are missing; 1 with the failed checks.
"""
import ctypes
import os
import subprocess
import sys
import tempfile
import time

try:
    import pyatspi
except ImportError:
    print("skipped: python3-pyatspi is not installed")
    sys.exit(77)

failures = []


def check(condition, what):
    if not condition:
        failures.append(what)
        print("FAILED:", what, flush=True)
    return condition


# ---- keys through XTEST ----
_x11 = ctypes.CDLL("libX11.so.6")
_xtst = ctypes.CDLL("libXtst.so.6")
_x11.XOpenDisplay.restype = ctypes.c_void_p
_x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
_x11.XKeysymToKeycode.restype = ctypes.c_ubyte
_x11.XKeysymToKeycode.argtypes = [ctypes.c_void_p, ctypes.c_ulong]
_x11.XFlush.argtypes = [ctypes.c_void_p]
_xtst.XTestFakeKeyEvent.argtypes = [ctypes.c_void_p, ctypes.c_uint, ctypes.c_int, ctypes.c_ulong]
_display = None

TAB, RETURN, ESCAPE, SPACE, DOWN = 0xFF09, 0xFF0D, 0xFF1B, 0x20, 0xFF54
F1, F2, ALT, CTRL = 0xFFBE, 0xFFBF, 0xFFE9, 0xFFE3


def press(keysym, *modifiers, settle=0.4):
    global _display
    if _display is None:
        _display = _x11.XOpenDisplay(None)
    codes = [_x11.XKeysymToKeycode(_display, k) for k in modifiers + (keysym,)]
    for code in codes:
        _xtst.XTestFakeKeyEvent(_display, code, 1, 0)
    for code in reversed(codes):
        _xtst.XTestFakeKeyEvent(_display, code, 0, 0)
    _x11.XFlush(_display)
    time.sleep(settle)


# ---- the accessibility tree ----
def program():
    for _ in range(150):
        for app in pyatspi.Registry.getDesktop(0):
            if app is not None and app.name == "larkpost-gui":
                return app
        time.sleep(0.1)
    return None


def nodes(root, predicate):
    found = []

    def visit(node):
        try:
            if predicate(node):
                found.append(node)
            for child in node:
                if child is not None:
                    visit(child)
        except Exception:  # a node gone while walking: the screen changed
            pass

    visit(root)
    return found


def showing(node):
    state = node.getState()
    return state.contains(pyatspi.STATE_SHOWING) and state.contains(pyatspi.STATE_VISIBLE)


def shown(app, role, name=None):
    return [n for n in nodes(app, lambda n: n.getRole() == role and showing(n))
            if name is None or n.name == name]


def wait_for(condition, seconds=5.0):
    end = time.time() + seconds
    while time.time() < end:
        result = condition()
        if result:
            return result
        time.sleep(0.1)
    return condition()


def focused(app):
    hits = nodes(app, lambda n: n.getState().contains(pyatspi.STATE_FOCUSED) and showing(n))
    return hits[-1] if hits else None


def texts_shown(app):
    return [n.name for n in shown(app, pyatspi.ROLE_LABEL)]


def box_text(app, start):
    return wait_for(lambda: next((t for t in texts_shown(app) if t.startswith(start)), None))


def main():
    with tempfile.TemporaryDirectory() as work:
        return start(sys.argv[1], work)


def start(gui, work):
    read, write = os.pipe()
    try:
        xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write), "-screen", "0", "1024x768x24",
                                 "-nolisten", "tcp"], pass_fds=(write,), stderr=subprocess.DEVNULL)
    except FileNotFoundError:
        print("skipped: Xvfb is not installed")
        return 77
    os.close(write)
    number = b""
    while not number.endswith(b"\n"):
        chunk = os.read(read, 16)
        if not chunk:
            print("Xvfb did not start")
            return 1
        number += chunk
    os.environ["DISPLAY"] = ":" + number.decode().strip()
    store = os.path.join(work, "missing.db")
    backup = os.path.join(work, "BAK_20260105_0845.bak")
    with open(backup, "wb") as file:
        file.write(b"\0" * 20)
    # An age file as far as its first line tells; its header opens with no passphrase.
    sealed = os.path.join(work, "secret.bak.age")
    with open(sealed, "wb") as file:
        file.write(b"age-encryption.org/v1\n-> scrypt AAAAAAAAAAAAAAAAAAAAAA 10\n"
                   b"AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA\n--- AAAA\n")
    env = dict(os.environ, QT_QPA_PLATFORM="xcb", QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1",
               HOME=work, XDG_CONFIG_HOME=os.path.join(work, "config"),
               XDG_DATA_HOME=os.path.join(work, "data"))
    gui_process = subprocess.Popen([gui, "--screen", "240x320", "--dpi", "96", "--store", store],
                                   env=env)
    try:
        return run(gui_process, store, backup, sealed)
    finally:
        if gui_process.poll() is None:
            gui_process.kill()
        xvfb.kill()


def run(gui_process, store, backup, sealed):
    app = program()
    if not check(app is not None, "the program is on the accessibility bus"):
        return 1
    wait_for(lambda: shown(app, pyatspi.ROLE_PUSH_BUTTON, "Backup SMS"))

    # Every control has a name; the image buttons say what they do.
    buttons = {(b.name, b.description) for b in shown(app, pyatspi.ROLE_PUSH_BUTTON)}
    for name in ("Backup SMS", "Restore SMS", "Exit", "Menu"):
        check(any(n == name and d for n, d in buttons), f"button {name!r} with a description")
    check(all(n for n, _ in buttons), f"no button without a name: {sorted(buttons)}")

    # Tab goes through the home buttons in the column's order.
    order = []
    for _ in range(3):
        press(TAB)
        node = focused(app)
        order.append(node.name if node is not None else None)
    check(order == ["Backup SMS", "Restore SMS", "Exit"], f"Tab order {order}")

    # F2 opens the soft-key menu, which a screen reader sees with its items; Escape closes it.
    press(F2)
    items = wait_for(lambda: shown(app, pyatspi.ROLE_MENU_ITEM))
    check([i.name for i in items] == ["Backup Messages", "Restore Messages", "About"],
          f"menu items {[i.name for i in items]}")
    press(DOWN)
    node = focused(app)
    check(node is not None and node.name == "Backup Messages", "Down highlights the first item")
    press(ESCAPE)
    check(wait_for(lambda: not shown(app, pyatspi.ROLE_MENU_ITEM)), "Escape closes the menu")

    # F1 (Help) shows the About box, which names the store; each of its keys closes it.
    for keys in ((ESCAPE,), (RETURN,), (SPACE,), (ord("o"), ALT)):
        press(F1)
        store_line = box_text(app, "Message store:")
        check(store_line == f"Message store: {store} (missing)", f"About names the store: {store_line!r}")
        press(*keys)
        check(wait_for(lambda: not any(t.startswith("Message store:") for t in texts_shown(app))),
              f"About closed by {keys}")
    check(gui_process.poll() is None, "F1 never quits")

    # Alt+R: the open dialog, every readable format first; the name typed, Return.
    press(ord("r"), ALT)
    dialog = wait_for(lambda: shown(app, pyatspi.ROLE_DIALOG, "Select File Path."))
    check(dialog, "Alt+R opens the open dialog")
    combos = shown(app, pyatspi.ROLE_COMBO_BOX)
    check(any(c.name.startswith("Readable Files(") for c in combos),
          f"the open dialog's first filter: {[c.name for c in combos]}")
    fields = shown(app, pyatspi.ROLE_TEXT)
    check(fields, "the open dialog has a name field")
    node = focused(app)
    check(node is not None and node.getRole() == pyatspi.ROLE_TEXT, "typing goes into the name")
    if fields:
        fields[-1].queryEditableText().setTextContents(backup)
        time.sleep(0.3)
    press(RETURN)
    question = box_text(app, "Are you sure to restore sms from file:")
    check(question == f"Are you sure to restore sms from file:{backup}\nMessage store: {store}",
          f"the restore question read whole: {question!r}")
    boxes = shown(app, pyatspi.ROLE_DIALOG, "Question")
    check(boxes and boxes[0].description == question, "the question box describes itself")
    press(RETURN)  # OK: the store is missing
    failure = box_text(app, "SMS Account Initialization Failed.")
    check(failure == f"SMS Account Initialization Failed.\nMessage store: {store}\n"
          "The file is missing.", f"the failure names the store: {failure!r}")
    press(ESCAPE)
    check(wait_for(lambda: not any(t.startswith("SMS Account") for t in texts_shown(app))),
          "Escape closes the box")
    check(not os.path.exists(store), "a missing store is never created")

    # An encrypted file: the password screen, read as a dialog that says what it asks for, its
    # field focused and never giving away what is typed; Escape declines without a word, a
    # wrong passphrase is one box.
    for passphrase in (None, "abc"):
        press(ord("r"), ALT)
        wait_for(lambda: shown(app, pyatspi.ROLE_DIALOG, "Select File Path."))
        fields = shown(app, pyatspi.ROLE_TEXT)
        if fields:
            fields[-1].queryEditableText().setTextContents(sealed)
            time.sleep(0.3)
        press(RETURN)
        screen = wait_for(lambda: shown(app, pyatspi.ROLE_DIALOG, "Passphrase"))
        check(screen and screen[0].description.startswith("secret.bak.age is encrypted."),
              f"the password screen says what it asks for: {screen and screen[0].description!r}")
        node = focused(app)
        check(node is not None and node.getRole() == pyatspi.ROLE_PASSWORD_TEXT and
              node.name == "Passphrase", "the passphrase field has the keyboard")
        if passphrase is None:
            press(ESCAPE)
            check(wait_for(lambda: not shown(app, pyatspi.ROLE_DIALOG, "Passphrase")),
                  "Escape closes the password screen")
            check(not shown(app, pyatspi.ROLE_DIALOG, "Warning"), "a declined screen says nothing")
            continue
        for letter in passphrase:
            press(ord(letter), settle=0.1)
        if node is not None:
            text = node.queryText().getText(0, -1)
            check(passphrase not in text, f"the field does not give away what is typed: {text!r}")
        press(RETURN)
        told = box_text(app, "secret.bak.age:")
        check(told is not None and told.endswith("Nothing was restored."),
              f"a wrong passphrase is one box: {told!r}")
        press(ESCAPE)
        check(wait_for(lambda: not shown(app, pyatspi.ROLE_DIALOG, "Warning")),
              "Escape closes the box")

    # Alt+B: the save dialog, with its box that encrypts the file; Escape leaves it.
    press(ord("b"), ALT)
    check(wait_for(lambda: shown(app, pyatspi.ROLE_DIALOG, "Select Save Path.")),
          "Alt+B opens the save dialog")
    check(shown(app, pyatspi.ROLE_CHECK_BOX, "Encrypt the file"),
          "the save dialog's encrypt box is named")
    press(ESCAPE)
    check(wait_for(lambda: not shown(app, pyatspi.ROLE_DIALOG, "Select Save Path.")),
          "Escape closes the save dialog")

    # Ctrl+Q ends the program.
    press(ord("q"), CTRL)
    try:
        status = gui_process.wait(10)
    except subprocess.TimeoutExpired:
        status = None
    check(status == 0, f"Ctrl+Q ends the program (status {status})")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
