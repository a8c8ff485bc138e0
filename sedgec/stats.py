"""Counts of the catalogue: the per-module table and the totals."""


def module_rows(cat):
    rows = []
    for m in cat.modules:
        data = sum(1 for t in m.types if t.kind == "data")
        faults = sum(1 for t in m.types if t.kind == "fault")
        enums, managed = len(m.enums), len(m.managed)
        rows.append((m.load, m.namespace, data, faults, enums, managed, data + faults + enums + managed))
    return rows


def totals(cat):
    methods = list(cat.methods())
    managed = [t for t in cat.all_types() if t.kind == "managed"]
    datas = [t for t in cat.all_types() if t.kind in ("data", "fault")]
    return {
        "types": sum(1 for _ in cat.all_types()),
        "data": sum(1 for t in datas if t.kind == "data"),
        "faults": sum(1 for t in datas if t.kind == "fault"),
        "enums": sum(1 for t in cat.all_types() if t.kind == "enum"),
        "managed": len(managed),
        "methods": len(methods),
        "task methods": sum(1 for m in methods if m.is_task),
        "internal methods": sum(1 for m in methods if m.is_internal),
        "methods without result": sum(1 for m in methods if m.result.type is None),
        "null privileges": sum(1 for m in methods if m.privilege is None),
        "dynamic privileges": sum(1 for m in methods if m.privilege == "dynamic"),
        "method-object slots": sum(t.method_slots for t in managed),
        "managed property entries": sum(len(t.props) for t in managed),
        "tags": sum(len(t.tags) for t in cat.all_types()),
        "data types without own properties": sum(1 for t in datas if not t.props),
        "data types with an optional property": sum(1 for t in datas if any(p.optional for p in t.props)),
        "redeclared dynamicProperty": sum(1 for t in datas if t.redeclares_inherited),
        "versions": len(cat.versions),
        "parent pairs": len(cat.parents),
    }


def format_stats(cat):
    lines = [f"{'#':>3}  {'namespace':<34}{'data':>6}{'faults':>8}{'enums':>7}{'managed':>9}{'slots':>7}"]
    sums = [0] * 5
    for row in module_rows(cat):
        lines.append(f"{row[0]:>3}  {row[1]:<34}" + "".join(
            f"{v:>{w}}" for v, w in zip(row[2:], (6, 8, 7, 9, 7))))
        sums = [a + b for a, b in zip(sums, row[2:])]
    lines.append(f"{'':>3}  {'total':<34}" + "".join(f"{v:>{w}}" for v, w in zip(sums, (6, 8, 7, 9, 7))))
    lines.append("")
    for k, v in totals(cat).items():
        lines.append(f"{k:<40}{v:>8}")
    return "\n".join(lines)
