#!/usr/bin/env python3
"""Writes a T-SQL script (UTF-8, batches separated by GO) that builds a library
database as the library system left it before its March 2005 release, filled
with generated rows of a chosen size.

The schema is the one of data/fixtures/pre2005.sql: its create-table, key and
index statements are copied as they stand, and so are its rows of the small
tables (parameters, reader categories, operators, loan types, classification,
author numbers). The rows of the large tables (catalogue records, copies,
readers, loans, fines) are replaced by generated ones: Chinese titles with
sub-titles and series, one to three authors, ISBN-10s with hyphens and a valid
check digit, call numbers, 9-character reader cards and barcodes, loans and
fines that point at existing readers and copies. Every value is made up here;
nothing comes from a real library.

Which columns of a large table get values is decided from its create-table
statement: columns this script knows by name get realistic values, other NOT
NULL columns without a default get a plain value of their type, and the rest
are left to their defaults. So the script follows the fixture as it changes.

    gen_library.py --size demo  > demo.sql     # a few thousand records
    gen_library.py --size bench > bench.sql    # 200,000 records, 500,000 copies,
                                               # 50,000 readers, 200,000 loans
    gen_library.py --records 1000 --copies 2500 --readers 300 --loans 900 -o x.sql
"""

import argparse
import os
import random
import re
import sys

SIZES = {
    "demo": dict(records=3000, copies=7500, readers=800, loans=3000),
    "bench": dict(records=200000, copies=500000, readers=50000, loans=200000),
}

# Tables whose fixture rows are replaced by generated ones.
BULK = ("lib_bianma", "lib_tiaoma", "lib_people", "lib_jieshu", "lib_fakuan")

STATEMENTS_PER_BATCH = 500

SURNAMES = list("王李张刘陈杨黄赵吴周徐孙马朱胡郭何高林罗郑梁谢宋唐许韩冯邓曹彭曾肖田董袁潘于蒋蔡余杜叶程苏魏吕丁任沈姚卢姜崔钟谭陆汪范金石廖贾夏韦付方白邹孟熊秦邱江尹薛闫段雷侯龙史陶黎贺顾毛郝龚邵万钱严覃武戴莫孔向汤")
GIVEN = list("伟芳娜秀敏静丽强磊军洋勇艳杰娟涛明超秀兰霞平刚桂英华建国文辉力鹏宇浩然晨曦雪梅玉兰志红春燕海波俊峰晓东永健德胜立新嘉怡子涵欣悦思远博雅")
TITLE_HEAD = ["中国", "世界", "现代", "古代", "当代", "实用", "简明", "新编", "基础", "高级",
              "大学", "中学", "少年", "儿童", "青年", "图解", "经典", "趣味", "科学", "自然"]
TITLE_TOPIC = ["数学", "物理", "化学", "生物", "地理", "历史", "文学", "诗词", "散文", "小说",
               "哲学", "经济", "管理", "法律", "教育", "心理学", "美术", "音乐", "天文", "计算机",
               "程序设计", "数据库", "网络", "英语", "汉语", "书法", "园艺", "烹饪", "医学", "建筑"]
TITLE_TAIL = ["概论", "教程", "导论", "原理", "手册", "读本", "选编", "简史", "入门", "词典",
              "习题集", "百科", "故事", "研究", "文集", "讲义", "精选", "大全", "指南", "漫谈"]
SUBTITLES = ["第二版", "修订本", "上册", "下册", "增订本", "插图本", "普及本", "学生版", "教师用书", "注释本"]
SERIES = ["", "", "", "中学生课外读物", "大学教材", "青少年百科丛书", "世界名著文库", "科普丛书", "国学经典", "计算机丛书"]
ENGLISH = ["Alice's Adventures", "O'Reilly Guide", "Reader's Digest", "Programming Pearls", "The Little Prince"]
# Publisher prefixes under group 7 (China); the title part is filled to nine digits.
PUBLISHERS = [("5006", "柳溪出版社"), ("02", "人民文学出版社"), ("04", "高等教育出版社"),
              ("101", "中华书局"), ("302", "清华大学出版社"), ("5325", "上海古籍出版社"),
              ("107", "人民教育出版社"), ("5442", "南海出版公司"), ("80000", "北京图书馆出版社"),
              ("5613", "青岛出版社")]
CLASSES = ["A81", "B84", "C91", "D92", "F27", "G25", "G63", "H31", "I24", "I21", "I56", "J21",
           "K20", "N49", "O13", "O4", "P1", "Q1", "R2", "S6", "TP3", "TU2", "TS97", "Z22"]
GRADES = ["初一", "初二", "初三", "高一", "高二", "高三"]
OFFICES = ["教务处", "总务处", "语文组", "数学组", "外语组", "理化组", "校办", "图书馆"]
MARKS = ["正常"] * 40 + ["过期", "挂失", "注销", "补办", "停借"]


def isbn10(rng):
    prefix, publisher = rng.choice(PUBLISHERS)
    digits = 9 - 1 - len(prefix)
    title = str(rng.randrange(10 ** digits)).zfill(digits)
    body = "7" + prefix + title
    check = (11 - sum((10 - i) * int(d) for i, d in enumerate(body)) % 11) % 11
    return "7-%s-%s-%s" % (prefix, title, "X" if check == 10 else str(check)), publisher


def person(rng):
    return rng.choice(SURNAMES) + "".join(rng.choice(GIVEN) for _ in range(rng.choice((1, 2, 2))))


def title(rng):
    r = rng.random()
    if r < 0.01:
        return rng.choice(ENGLISH)
    t = rng.choice(TITLE_HEAD) + rng.choice(TITLE_TOPIC) + rng.choice(TITLE_TAIL)
    if r < 0.25:
        t += "：" + rng.choice(SUBTITLES)
    elif r < 0.30:
        t += ":" + rng.choice(SUBTITLES)
    elif r < 0.35:
        t += "（" + rng.choice(SUBTITLES) + "）"
    return t


def authors(rng, i):
    if i % 997 == 500:  # the mis-encoded name the 2011 step repairs
        return "莫F川"
    n = rng.choice((1, 1, 1, 2, 2, 3))
    return "；".join(person(rng) for _ in range(n))


def date(rng, first=1995, last=2004):
    return "%04d-%02d-%02d" % (rng.randint(first, last), rng.randint(1, 12), rng.randint(1, 28))


class Number(str):
    """A value written into the statement as it stands (a decimal number)."""


def quote(value):
    return "'" + value.replace("'", "''") + "'"


class Column:
    def __init__(self, name, type_, not_null, has_default, identity):
        self.name, self.type, self.not_null = name, type_, not_null
        self.has_default, self.identity = has_default, identity

    def width(self):
        m = re.search(r"\((\d+)", self.type)
        return int(m.group(1)) if m else 0

    def plain(self):
        t = self.type.lower()
        if t.startswith(("char", "varchar", "text")):
            return "''"
        if t.startswith("datetime"):
            return "'2004-01-01'"
        return "0"


def parse_fixture(path):
    """Returns (batches, columns): the script's batches, and each table's
    columns from its create-table statement."""
    with open(path, encoding="utf-8") as f:
        script = f.read()
    batches, current = [], []
    for line in script.splitlines():
        if line.strip().upper() == "GO":
            if "".join(current).strip():
                batches.append("\n".join(current))
            current = []
        else:
            current.append(line)
    if "".join(current).strip():
        batches.append("\n".join(current))

    columns = {}
    for batch in batches:
        m = re.match(r"\s*create\s+table\s+(\w+)\s*\((.*)\)\s*$", strip_comments(batch), re.S | re.I)
        if not m:
            continue
        cols = []
        for part in split_top(m.group(2)):
            words = part.split()
            if not words or words[0].lower() in ("constraint", "primary", "unique"):
                continue
            low = part.lower()
            cols.append(Column(words[0], words[1], "not null" in low, "default" in low,
                               "identity" in low))
        columns[m.group(1).lower()] = cols
    return batches, columns


def strip_comments(text):
    return "\n".join(l for l in text.splitlines() if not l.strip().startswith("--"))


def split_top(body):
    """Splits a column list at commas outside parentheses and quotes."""
    parts, depth, quote_on, cur = [], 0, False, ""
    for ch in body:
        if ch == "'":
            quote_on = not quote_on
        if not quote_on:
            if ch == "(":
                depth += 1
            elif ch == ")":
                depth -= 1
            elif ch == "," and depth == 0:
                parts.append(cur)
                cur = ""
                continue
        cur += ch
    if cur.strip():
        parts.append(cur)
    return parts


def without_bulk_rows(batch):
    """The batch without its insert statements into the large tables."""
    kept, skipping = [], False
    for line in batch.splitlines():
        m = re.match(r"\s*insert\s+(?:into\s+)?(\w+)", line, re.I)
        if m:
            skipping = m.group(1).lower() in BULK
        elif re.match(r"\s*(create|alter|update|delete|drop)\b", line, re.I):
            skipping = False
        if not skipping:
            kept.append(line)
    return "\n".join(kept)


class Writer:
    def __init__(self, out):
        self.out, self.pending = out, 0

    def statement(self, sql):
        self.out.write(sql + "\n")
        self.pending += 1
        if self.pending >= STATEMENTS_PER_BATCH:
            self.go()

    def go(self):
        if self.pending:
            self.out.write("GO\n")
        self.pending = 0


def insert_rows(w, table, cols, count, known, progress):
    """count rows into table: the known columns by their generators, other NOT
    NULL columns without a default by a plain value, the rest by default."""
    used = [c for c in cols if not c.identity and (c.name.lower() in known or (c.not_null and not c.has_default))]
    names = ",".join(c.name for c in used)
    for i in range(count):
        values = []
        for c in used:
            gen = known.get(c.name.lower())
            if gen is None:
                values.append(c.plain())
                continue
            v = gen(i)
            if isinstance(v, Number):
                values.append(v)
            elif isinstance(v, str):
                enc = v.encode("gbk")
                if c.width() and len(enc) > c.width():
                    v = enc[: c.width()].decode("gbk", "ignore")
                values.append(quote(v))
            elif v is None:
                values.append("NULL")
            else:
                values.append(str(v))
        w.statement("insert into %s(%s) values(%s)" % (table, names, ",".join(values)))
        if progress and (i + 1) % 50000 == 0:
            print("%s: %d rows" % (table, i + 1), file=sys.stderr)
    w.go()


def generate(out, fixture, sizes, seed, progress):
    batches, columns = parse_fixture(fixture)
    rng = random.Random(seed)
    w = Writer(out)
    out.write("-- Generated by tools/gen_library.py (seed %d): a library database before its\n"
              "-- March 2005 release with %d catalogue records, %d copies, %d readers and\n"
              "-- %d loans. Schema and small tables from data/fixtures/pre2005.sql; all rows\n"
              "-- made up.\n" % (seed, sizes["records"], sizes["copies"], sizes["readers"], sizes["loans"]))
    for batch in batches:
        kept = without_bulk_rows(strip_comments(batch))
        if kept.strip():
            out.write(kept + "\nGO\n")

    n_rec, n_copy, n_read, n_loan = sizes["records"], sizes["copies"], sizes["readers"], sizes["loans"]
    users = ["admin", "zhang", "wang", "li"]

    books = []
    for i in range(n_rec):
        isbn, publisher = isbn10(rng)
        books.append((isbn, publisher, title(rng), authors(rng, i), rng.choice(SERIES),
                      "%s/%d" % (rng.choice(CLASSES), rng.randint(1, 999))))
    if "lib_bianma" in columns:
        insert_rows(w, "lib_bianma", columns["lib_bianma"], n_rec, {
            "bm_code": lambda i: i + 1,
            "bm_bookid": lambda i: books[i][0],
            "bm_bookno": lambda i: books[i][5],
            "bm_name": lambda i: books[i][2],
            "bm_serious": lambda i: books[i][4],
            "bm_author": lambda i: books[i][3],
            "bm_publish": lambda i: books[i][1],
            "bm_price": lambda i: Number("%d.%02d" % (rng.randint(5, 120), rng.choice((0, 50, 80, 90)))),
            "bm_user": lambda i: rng.choice(users),
            "bm_date": lambda i: date(rng),
            "bm_allclass": lambda i: books[i][5].split("/")[0],
            "bm_pages": lambda i: rng.randint(48, 980),
        }, progress)

    card = lambda k: "%09d" % (k + 1)
    barcode = lambda k: "%09d" % (100000000 + k)
    if "lib_people" in columns:
        def dept(i):
            if i % 10 == 0:
                return rng.choice(OFFICES)
            return "%s（%d）班" % (rng.choice(GRADES), rng.randint(1, 12))
        insert_rows(w, "lib_people", columns["lib_people"], n_read, {
            "pe_id": card,
            "pe_name": lambda i: person(rng),
            "pe_deptment": dept,
            "pe_dzid": lambda i: 2 if i % 10 == 0 else 1,
            "pe_dzlx": lambda i: 2 if i % 10 == 0 else 1,
            "pe_mark": lambda i: rng.choice(MARKS),
            "pe_sex": lambda i: rng.choice(("男", "女")),
            "pe_bdate": lambda i: date(rng, 2000, 2003),
            "pe_edate": lambda i: date(rng, 2005, 2008),
        }, progress)

    if "lib_tiaoma" in columns:
        def mark(i):
            return rng.choice("0000000019")
        insert_rows(w, "lib_tiaoma", columns["lib_tiaoma"], n_copy, {
            "tm_barcode": barcode,
            "tm_code": lambda i: (i % n_rec) + 1 if n_rec else 0,
            "tm_mark": mark,
            "tm_yydate": lambda i: date(rng),
            "tm_logdate": lambda i: date(rng),
            "tm_place": lambda i: rng.randint(0, 9),
        }, progress)

    if "lib_jieshu" in columns and n_read and n_copy:
        # A copy is out on one loan at a time.
        n_loan = min(n_loan, n_copy)
        lent = rng.sample(range(n_copy), n_loan)
        insert_rows(w, "lib_jieshu", columns["lib_jieshu"], n_loan, {
            "js_libcard": lambda i: card(rng.randrange(n_read)),
            "js_barcode": lambda i: barcode(lent[i]),
            "js_bdate": lambda i: "2004-%02d-%02d" % (rng.randint(1, 12), rng.randint(1, 28)),
            "js_edate": lambda i: "2005-%02d-%02d" % (rng.randint(1, 2), rng.randint(1, 28)),
            "js_mark": lambda i: "0",
            "js_user": lambda i: rng.choice(users),
        }, progress)

    if "lib_fakuan" in columns and n_read and n_copy:
        insert_rows(w, "lib_fakuan", columns["lib_fakuan"], max(1, n_loan // 20), {
            "fk_id": lambda i: card(rng.randrange(n_read)),
            "fk_barcode": lambda i: barcode(rng.randrange(n_copy)),
            "fk_money": lambda i: Number("%d.%02d" % (rng.randint(0, 5), rng.choice((0, 10, 20, 50)))),
            "fk_date": lambda i: date(rng, 2003, 2004),
            "fk_operator": lambda i: rng.choice(users + ["li"]),
        }, progress)


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--size", choices=sorted(SIZES), default="demo")
    for name in ("records", "copies", "readers", "loans"):
        p.add_argument("--" + name, type=int, help="overrides the size's %s" % name)
    p.add_argument("--seed", type=int, default=2005)
    p.add_argument("--fixture", default=os.path.join(here, "..", "data", "fixtures", "pre2005.sql"))
    p.add_argument("-o", "--output", help="file to write (default: standard output)")
    p.add_argument("--progress", action="store_true", help="report progress on standard error")
    args = p.parse_args()

    sizes = dict(SIZES[args.size])
    for name in sizes:
        if getattr(args, name) is not None:
            sizes[name] = getattr(args, name)
    if any(v < 0 for v in sizes.values()):
        p.error("sizes must not be negative")
    if not os.path.exists(args.fixture):
        p.error("no schema script at %s" % args.fixture)

    if args.output:
        tmp = args.output + ".part"
        with open(tmp, "w", encoding="utf-8", newline="\n") as out:
            generate(out, args.fixture, sizes, args.seed, args.progress)
        os.replace(tmp, args.output)
    else:
        generate(sys.stdout, args.fixture, sizes, args.seed, args.progress)


if __name__ == "__main__":
    main()
