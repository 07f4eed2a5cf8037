#!/usr/bin/env python3
"""Checks that converting an "SMS Backup & Restore" XML file into XML keeps every attribute.

    scripts/phone-xml-attributes.py [--elements sms,mms] LARKPOST [FILE.xml ...]

Converts each file with `LARKPOST convert FILE.xml OUT.xml` and compares the entries of the kinds
named by --elements (children of the root, matched in file order kind by kind) together with
their <part> and <addr> children: every attribute of an input element must be in the output
element with the same value. readable_date is made anew from the date (in the local time zone,
in the program's own wording) and is only required to be there; a missing contact name may be
written "null" or "(Unknown)", as the app does both. Attributes the output adds are allowed.
The number of entries of each kind must be the same.

Without files it checks files it builds itself the way the app writes them, with the field lists
of the published samples: the app's current <sms> and <mms> (a received group message, a text
part with data="null", a picture), an <sms> list with thread_id (a message sent to two people,
which the app groups by thread_id, with a delivery status of its own for one of them), the app's 2011 <sms>, and two messages of the same
millisecond and text to two people without thread_id, which must stay two entries.
Prints one line per file and every difference; the exit status is 1 when anything is lost.
"""
import argparse
import base64
import os
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ET

DERIVED = {"readable_date"}
NO_NAME = {"null", "(Unknown)"}


def children_of_kind(root, kinds):
    found = {kind: [] for kind in kinds}
    for child in root:
        if child.tag in found:
            found[child.tag].append(child)
    return found


def compare_attributes(where, before, after, problems):
    for name, value in before.attrib.items():
        if name not in after.attrib:
            problems.append(f"{where}: attribute {name}=\"{value[:40]}\" is lost")
        elif name in DERIVED:
            continue
        elif name == "contact_name" and value in NO_NAME and after.attrib[name] in NO_NAME:
            continue
        elif after.attrib[name] != value:
            problems.append(f"{where}: {name}=\"{value[:40]}\" became \"{after.attrib[name][:40]}\"")


def compare_children(where, before, after, tag, problems):
    old = before.findall(f"./*/{tag}")
    new = after.findall(f"./*/{tag}")
    if len(old) != len(new):
        problems.append(f"{where}: {len(old)} <{tag}> became {len(new)}")
    for i, (a, b) in enumerate(zip(old, new)):
        compare_attributes(f"{where} <{tag}> {i + 1}", a, b, problems)


def check(larkpost, path, kinds, workdir):
    out = os.path.join(workdir, "converted.xml")
    if os.path.exists(out):
        os.remove(out)
    run = subprocess.run([larkpost, "convert", path, out], capture_output=True, text=True)
    if not os.path.exists(out):
        return [f"not converted (exit {run.returncode}): {run.stderr.strip()[:300]}"]
    before = children_of_kind(ET.parse(path).getroot(), kinds)
    after = children_of_kind(ET.parse(out).getroot(), kinds)
    problems = []
    for kind in kinds:
        if len(before[kind]) != len(after[kind]):
            problems.append(f"{len(before[kind])} <{kind}> entries became {len(after[kind])}")
        for i, (a, b) in enumerate(zip(before[kind], after[kind])):
            where = f"<{kind}> {i + 1}"
            compare_attributes(where, a, b, problems)
            compare_children(where, a, b, "part", problems)
            compare_children(where, a, b, "addr", problems)
    return problems


# ---- Files built the way the app writes them.

HEAD = ("<?xml version='1.0' encoding='UTF-8' standalone='yes' ?>\n"
        "<!--File Created By SMS Backup & Restore v10.20.002 on 01/01/2024 12:00:00-->\n"
        "<?xml-stylesheet type=\"text/xsl\" href=\"sms.xsl\"?>\n")


def element(tag, attributes, inner=""):
    text = " ".join(f'{name}="{value}"' for name, value in attributes)
    return f"  <{tag} {text} />\n" if not inner else f"  <{tag} {text}>\n{inner}  </{tag}>\n"


def app_sms(address, date, kind, body, contact, service_center="null", date_sent="0"):
    return element("sms", [
        ("protocol", "0"), ("address", address), ("date", date), ("type", kind), ("subject", "null"),
        ("body", body), ("toa", "null"), ("sc_toa", "null"), ("service_center", service_center),
        ("read", "1"), ("status", "-1"), ("locked", "0"), ("date_sent", date_sent), ("sub_id", "1"),
        ("readable_date", "Dec 2, 2017 06:49:27"), ("contact_name", contact)])


def threaded_sms(address, date, kind, body, thread, contact, status="-1"):
    return element("sms", [
        ("protocol", "0"), ("address", address), ("date", date), ("type", kind), ("subject", "null"),
        ("body", body), ("toa", "null"), ("sc_toa", "null"), ("service_center", "null"),
        ("read", "1"), ("status", status), ("locked", "0"), ("thread_id", thread),
        ("readable_date", "Nov 9, 2023 6:00:00 PM"), ("contact_name", contact)])


def sms_2011(address, date, kind, body):
    return element("sms", [
        ("protocol", "0"), ("address", address), ("date", date), ("type", kind), ("subject", "null"),
        ("body", body), ("toa", "145"), ("sc_toa", "0"), ("service_center", "+436990008999"),
        ("read", "1"), ("status", "-1"), ("locked", "0")])


def app_mms(date, box, address, contact, parts, addrs, row_id):
    attributes = [
        ("date", date), ("rr", "129"), ("sub", "null"), ("ct_t", "application/vnd.wap.multipart.related"),
        ("read_status", "null"), ("seen", "1"), ("msg_box", box), ("address", address),
        ("sub_cs", "null"), ("resp_st", "null"), ("retr_st", "null"), ("d_tm", "null"),
        ("text_only", "0"), ("exp", "null"), ("locked", "0"), ("m_id", "mid" + date),
        ("st", "null"), ("retr_txt_cs", "null"), ("retr_txt", "null"),
        ("creator", "com.google.android.apps.messaging"), ("date_sent", date[:-3]), ("read", "1"),
        ("m_size", "0"), ("rpt_a", "null"), ("ct_cls", "null"), ("pri", "129"), ("sub_id", "1"),
        ("tr_id", "T" + date), ("resp_txt", "null"), ("ct_l", "null"), ("m_cls", "personal"),
        ("d_rpt", "129"), ("v", "18"), ("_id", row_id), ("m_type", "132" if box == "1" else "128"),
        ("readable_date", "Dec 2, 2017 10:10:45"), ("contact_name", contact)]
    inner = "    <parts>\n"
    for part in parts:
        inner += "    " + element("part", part)
    inner += "    </parts>\n    <addrs>\n"
    for number, role in addrs:
        inner += "    " + element("addr", [("address", number), ("type", role), ("charset", "106")])
    return element("mms", attributes, inner + "    </addrs>\n")


def text_part(text, data_null=False):
    part = [("seq", "0"), ("ct", "text/plain"), ("name", "null"), ("chset", "106"), ("cd", "null"),
            ("fn", "null"), ("cid", "&lt;text_0&gt;"), ("cl", "text_0.txt"), ("ctt_s", "null"),
            ("ctt_t", "null"), ("text", text), ("sub_id", "1")]
    return part + ([("data", "null")] if data_null else [])


def picture_part():
    data = base64.b64encode(b"\xff\xd8\xff\xe0\x00\x10JFIF\x00" + bytes(range(256)) + b"\xff\xd9")
    return [("seq", "0"), ("ct", "image/jpeg"), ("name", "image_8.jpg"), ("chset", "null"),
            ("cd", "null"), ("fn", "null"), ("cid", "&lt;image_8&gt;"), ("cl", "image_8.jpg"),
            ("ctt_s", "null"), ("ctt_t", "null"), ("text", "null"), ("sub_id", "1"),
            ("data", data.decode())]


def call(number, date, kind, contact):
    return element("call", [
        ("number", number), ("duration", "245"), ("date", date), ("type", kind),
        ("presentation", "1"), ("subscription_id", "-1"), ("readable_date", "Nov 9, 2023 2:00:00 PM"),
        ("contact_name", contact)])


def built_files():
    own = "+15550000007"
    current = (
        app_sms("+15550000001", "1512226167463", "1", "Body text 1", "Contact A", "SENDER_B", "1512226166000") +
        app_sms("+15550000001", "1512236370051", "2", "Body text &amp; 2&#10;line", "Contact A") +
        app_sms("+15550000002", "1512236400000", "2", "Same to both", "Contact B") +
        app_sms("+15550000003", "1512236400000", "2", "Same to both", "null") +
        app_sms("null", "0", "3", "a draft", "null") +
        app_mms("1512238245000", "1", "+15550000006", "Contact D",
                [text_part("Body text 45", data_null=True), picture_part()],
                [("+15550000006", "137"), (own, "151"), ("+15550000006", "130")], "7") +
        app_mms("1512238246000", "1", "+15550000006~+15550000009", "Contact D, Contact E",
                [text_part("To the group")],
                [("+15550000006", "137"), (own, "151"), ("+15550000009", "151")], "8") +
        app_mms("1512238247000", "2", "+15550000006", "Contact D", [text_part("Sent one")],
                [(own, "137"), ("+15550000006", "151")], "9"))
    threaded = (
        threaded_sms("5551234567", "1699564800000", "1", "Hi honey 😊", "1", "Mom") +
        threaded_sms("5551234567", "1699568400000", "2", "To both of you", "2", "Mom") +
        threaded_sms("5559876543", "1699568400000", "2", "To both of you", "2", "Sarah 🎉", "64") +
        threaded_sms("5551234568", "1699568400000", "2", "To both of you", "3", "Dad") +
        call("5551234567", "1699550400000", "1", "Mom"))
    return {
        "current.xml": HEAD + '<smses count="8" backup_set="6f1c" backup_date="1704106800000" type="full">\n' +
                       current + "</smses>\n",
        "threaded.xml": HEAD + '<smses count="5">\n' + threaded + "</smses>\n",
        "app-2011.xml": HEAD + '<smses count="2">\n' +
                        sms_2011("+436812314123", "1312452353000", "1", "did you see it?") +
                        sms_2011("+43612341234", "1312473895759", "2", "Memacs FTW!") + "</smses>\n",
    }


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--elements", default="sms,mms", help="entry kinds to compare (default sms,mms)")
    parser.add_argument("larkpost")
    parser.add_argument("files", nargs="*")
    args = parser.parse_args()
    kinds = [kind for kind in args.elements.split(",") if kind]
    lost = False
    with tempfile.TemporaryDirectory() as workdir:
        files = args.files
        if not files:
            for name, text in built_files().items():
                path = os.path.join(workdir, name)
                with open(path, "w", encoding="utf-8") as out:
                    out.write(text)
                files.append(path)
        for path in files:
            problems = check(args.larkpost, path, kinds, workdir)
            print(f"{os.path.basename(path)}: " + ("every attribute kept" if not problems else "LOSES"))
            for problem in problems:
                print("  " + problem)
            lost = lost or bool(problems)
    return 1 if lost else 0


if __name__ == "__main__":
    sys.exit(main())
