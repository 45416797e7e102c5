#!/usr/bin/env python3
"""Makes the benchmarks' real workbooks: sheets of dated, priced rows with Thai
and English labels and repeated categories, written as flat OpenDocument and
saved as .xls and .xlsx by LibreOffice Calc (headless), so that the bytes are a
real spreadsheet program's. 30 .xls from 20 KB to 40 MB and 30 .xlsx from 20 KB
to 12 MB, about 230 MB in all. Made once: a folder that holds its list of
files is left as it is.

    real_workbooks.py FOLDER
"""
import datetime
import os
import random
import shutil
import subprocess
import sys
import tempfile

XLS_BYTES_PER_ROW = 137   # what Calc's .xls takes per row of these sheets
XLSX_BYTES_PER_ROW = 53
ROWS_PER_SHEET = 60000    # .xls holds at most 65,536 rows a sheet

THAI = ["สำนักงานใหญ่", "สาขาเชียงใหม่", "สาขาขอนแก่น", "ค่าเดินทาง", "เงินเดือน", "ค่าเช่า",
        "วัสดุสำนักงาน", "ชำระแล้ว", "ค้างชำระ", "ภาคเหนือ", "ภาคใต้"]
ENGLISH = ["Head office", "Chiang Mai", "Khon Kaen", "travel", "salary", "rent", "office supplies",
           "paid", "pending", "north", "south", "Q1", "Q2", "Q3", "Q4"]
HEADINGS = ["วันที่ Date", "รายการ Item", "หมวด Category", "สาขา Branch", "จำนวน Qty", "ราคา Price",
            "ยอดรวม Amount", "สถานะ Status", "หมายเหตุ Note"]


def text(value):
    return '<table:table-cell office:value-type="string"><text:p>%s</text:p></table:table-cell>' % value


def write_sheets(path, rows, seed):
    generator = random.Random(seed)
    start = datetime.date(2024, 1, 1)
    with open(path, "w", encoding="utf-8") as out:
        out.write('<?xml version="1.0" encoding="UTF-8"?>\n'
                  '<office:document xmlns:office="urn:oasis:names:tc:opendocument:xmlns:office:1.0" '
                  'xmlns:table="urn:oasis:names:tc:opendocument:xmlns:table:1.0" '
                  'xmlns:text="urn:oasis:names:tc:opendocument:xmlns:text:1.0" office:version="1.2" '
                  'office:mimetype="application/vnd.oasis.opendocument.spreadsheet">'
                  '<office:body><office:spreadsheet>\n')
        sheet = 0
        while rows > 0 or sheet == 0:
            sheet += 1
            out.write('<table:table table:name="%s %d">' % ("แผ่นงาน", sheet))
            out.write("<table:table-row>%s</table:table-row>\n" % "".join(text(h) for h in HEADINGS))
            for _ in range(min(rows, ROWS_PER_SHEET)):
                day = start + datetime.timedelta(days=generator.randrange(730))
                quantity = generator.randrange(1, 500)
                price = generator.randrange(100, 1000000) / 100
                note = generator.choice(THAI) + " " + generator.choice(ENGLISH) if generator.random() < 0.3 else ""
                out.write("<table:table-row>"
                          '<table:table-cell office:value-type="date" office:date-value="%s"/>%s%s%s'
                          '<table:table-cell office:value-type="float" office:value="%d"/>'
                          '<table:table-cell office:value-type="float" office:value="%.2f"/>'
                          '<table:table-cell office:value-type="float" office:value="%.2f"/>%s%s'
                          "</table:table-row>\n"
                          % (day.isoformat(), text("%s %d" % (generator.choice(ENGLISH), generator.randrange(200))),
                             text(generator.choice(THAI)), text(generator.choice(ENGLISH[:3])), quantity, price,
                             quantity * price, text(generator.choice(["ชำระแล้ว", "ค้างชำระ", "paid", "pending"])),
                             text(note)))
            rows -= min(rows, ROWS_PER_SHEET)
            out.write("</table:table>")
        out.write("</office:spreadsheet></office:body></office:document>\n")


def sizes(count, smallest, largest):
    step = (largest / smallest) ** (1 / (count - 1))
    return [int(smallest * step ** i) for i in range(count)]


def main():
    folder = os.path.abspath(sys.argv[1])
    listing = os.path.join(folder, "workbooks.txt")
    if os.path.exists(listing):
        return
    os.makedirs(folder, exist_ok=True)
    work = tempfile.mkdtemp(prefix="real-workbooks-", dir=folder)
    made = []
    try:
        plan = [("xls", size, XLS_BYTES_PER_ROW) for size in sizes(30, 20_000, 40_000_000)]
        plan += [("xlsx", size, XLSX_BYTES_PER_ROW) for size in sizes(30, 20_000, 12_000_000)]
        for kind in ("xls", "xlsx"):
            sources = []
            for number, (of_kind, size, per_row) in enumerate(plan):
                if of_kind != kind:
                    continue
                name = "%s งบ-%02d" % ("ยอดขาย" if number % 2 else "report", number)
                source = os.path.join(work, name + ".fods")
                write_sheets(source, max(1, size // per_row), number + 1)
                sources.append(source)
            # One Calc for all of a kind: it starts once.
            subprocess.run(["soffice", "--headless", "--norestore", "-env:UserInstallation=file://" + work + "/profile",
                            "--convert-to", kind, "--outdir", folder] + sources,
                           check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=3600)
            for source in sources:
                result = os.path.join(folder, os.path.basename(source)[:-len(".fods")] + "." + kind)
                if not os.path.exists(result):
                    sys.exit("LibreOffice did not write %s" % result)
                made.append(os.path.basename(result))
                os.remove(source)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    with open(listing + ".new", "w", encoding="utf-8") as out:
        out.write("".join(name + "\n" for name in sorted(made)))
    os.replace(listing + ".new", listing)


if __name__ == "__main__":
    main()
