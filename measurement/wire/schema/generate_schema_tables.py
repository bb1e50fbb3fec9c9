#!/usr/bin/env python3
"""Generates the schema tables of the wire messages from a protoc descriptor set.

The wire orders fields by tag, but the access layer addresses them by their position in the
.proto declaration (the access index). This script reads the descriptor set that
`protoc --descriptor_set_out --include_source_info` wrote for the schema files and emits:

  schema_types.h    extern declarations of one wire::MessageType per message
  schema_types.cpp  the tables: per field its tag, kind word, name and item type, and per
                    message the index of every tag and the fields in tag order
  apmpb.h           the index constants (kMeasurementBundle_retry_count = 35) and the typed
                    wrapper classes APMPB<Name>

Usage: generate_schema_tables.py <descriptor set> <output folder>
Only the Python standard library is used: the descriptor set is decoded by hand.
"""

import os
import sys

# Kind words of the access layer.
SINGULAR, REPEATED = 0x2, 0x8
KIND_BY_PROTO_TYPE = {
    8: 0x20,  # bool
    5: 0x80,  # int32 (0x40 when marked as an enum)
    13: 0x100,  # uint32
    3: 0x200,  # int64
    4: 0x400,  # uint64
    2: 0x800,  # float
    1: 0x1000,  # double
    9: 0x2000,  # string
    11: 0x4000,  # message
    12: 0x8000,  # bytes
}
ENUM, INT32 = 0x40, 0x80
# Item kinds a repeated field may have: unsigned varints, strings and messages.
REPEATED_ITEM_KINDS = (0x100, 0x200, 0x400, 0x2000, 0x4000)
LABEL_OPTIONAL, LABEL_REPEATED = 1, 3


def read_varint(data, pos):
    result, shift = 0, 0
    while True:
        byte = data[pos]
        pos += 1
        result |= (byte & 0x7F) << shift
        if byte < 0x80:
            return result, pos
        shift += 7


def parse(data):
    """Returns {field number: [values]}; length-delimited values as bytes, varints as ints."""
    fields, pos = {}, 0
    while pos < len(data):
        key, pos = read_varint(data, pos)
        number, wire_type = key >> 3, key & 7
        if wire_type == 0:
            value, pos = read_varint(data, pos)
        elif wire_type == 2:
            length, pos = read_varint(data, pos)
            value, pos = data[pos:pos + length], pos + length
        elif wire_type == 1:
            value, pos = data[pos:pos + 8], pos + 8
        elif wire_type == 5:
            value, pos = data[pos:pos + 4], pos + 4
        else:
            raise ValueError("unsupported wire type %d" % wire_type)
        fields.setdefault(number, []).append(value)
    return fields


def text(fields, number, default=""):
    return fields[number][0].decode() if number in fields else default


def integer(fields, number, default=0):
    return fields[number][0] if number in fields else default


def packed_ints(values):
    out = []
    for value in values:
        if isinstance(value, int):
            out.append(value)
            continue
        pos = 0
        while pos < len(value):
            item, pos = read_varint(value, pos)
            out.append(item)
    return out


def trailing_comments(file_fields):
    """{(message index, field index): trailing comment} of the file's top-level fields."""
    comments = {}
    if 9 not in file_fields:
        return comments
    for location in parse(file_fields[9][0]).get(1, []):
        location = parse(location)
        path = packed_ints(location.get(1, []))
        if len(path) == 4 and path[0] == 4 and path[2] == 2 and 4 in location:
            comments[(path[1], path[3])] = location[4][0].decode().strip()
    return comments


def load_messages(descriptor_set_path):
    with open(descriptor_set_path, "rb") as f:
        files = parse(f.read()).get(1, [])
    messages = []
    for file_bytes in files:
        file_fields = parse(file_bytes)
        comments = trailing_comments(file_fields)
        for message_index, message_bytes in enumerate(file_fields.get(4, [])):
            message = parse(message_bytes)
            if 3 in message or 4 in message:
                raise ValueError("nested types are not supported")
            fields = []
            for field_index, field_bytes in enumerate(message.get(2, [])):
                field = parse(field_bytes)
                label = integer(field, 4)
                proto_type = integer(field, 5)
                if label not in (LABEL_OPTIONAL, LABEL_REPEATED):
                    raise ValueError("only optional and repeated fields are supported")
                if proto_type not in KIND_BY_PROTO_TYPE:
                    raise ValueError("unsupported type %d" % proto_type)
                kind = KIND_BY_PROTO_TYPE[proto_type]
                if comments.get((message_index, field_index), "").startswith("enum"):
                    if kind != INT32 or label != LABEL_OPTIONAL:
                        raise ValueError("only singular int32 fields can be marked enum")
                    kind = ENUM
                if label == LABEL_REPEATED and kind not in REPEATED_ITEM_KINDS:
                    raise ValueError("repeated %s: the glue writes repeated scalars as varints"
                                     % text(field, 1))
                kind |= REPEATED if label == LABEL_REPEATED else SINGULAR
                fields.append({
                    "name": text(field, 1),
                    "tag": integer(field, 3),
                    "kind": kind,
                    "item": text(field, 6).rsplit(".", 1)[-1] if proto_type == 11 else None,
                })
            messages.append({"name": text(message, 1), "fields": fields})
    return messages


def write_if_changed(path, content):
    if os.path.exists(path):
        with open(path) as f:
            if f.read() == content:
                return
    with open(path, "w") as f:
        f.write(content)


HEADER_NOTE = "// Generated by generate_schema_tables.py from the schema's .proto files. Do not edit.\n"


def types_header(messages):
    lines = [HEADER_NOTE, "#pragma once\n", "#include <array>\n", '#include "measurement/wire/message.h"\n',
             "namespace wire::schema {\n"]
    lines += ["extern const MessageType k%sType;" % m["name"] for m in messages]
    lines += ["", "// Every message type, in schema file order.",
              "inline constexpr std::array<const MessageType*, %d> kAllMessageTypes = {" % len(messages)]
    lines += ["    &k%sType," % m["name"] for m in messages]
    lines += ["};", "", "}  // namespace wire::schema", ""]
    return "\n".join(lines)


def types_source(messages):
    lines = [HEADER_NOTE, '#include "measurement/wire/schema/schema_types.h"']
    lines += ["", "namespace wire::schema {", ""]
    for m in messages:
        entries = []
        for f in m["fields"]:
            item = "&k%sType" % f["item"] if f["item"] else "nullptr"
            entries.append('    {%d, 0x%x, "%s", %s},' % (f["tag"], f["kind"], f["name"], item))
        max_tag = max(f["tag"] for f in m["fields"])
        index_by_tag = [-1] * (max_tag + 1)
        for index, f in enumerate(m["fields"]):
            index_by_tag[f["tag"]] = index
        lines.append("static const FieldInfo k%sFields[] = {" % m["name"])
        lines += entries
        lines.append("};")
        lines.append("static const int16_t k%sIndexByTag[] = {%s};" %
                     (m["name"], ", ".join(str(i) for i in index_by_tag)))
        lines.append("static const int16_t k%sTagOrder[] = {%s};" %
                     (m["name"], ", ".join(str(i) for i in index_by_tag if i >= 0)))
        lines.append('const MessageType k%sType = {"%s", %d, k%sFields, k%sIndexByTag, %d, '
                     "k%sTagOrder};" %
                     (m["name"], m["name"], len(m["fields"]), m["name"], m["name"], max_tag,
                      m["name"]))
        lines.append("")
    lines += ["", "}  // namespace wire::schema", ""]
    return "\n".join(lines)


def wrappers_header(messages):
    lines = [HEADER_NOTE,
             "// The wire messages as typed wrappers, the access index of every field, and the",
             "// APMPB* operations that take them:",
             "//",
             "//   APMPBEvent event;",
             "//   APMPBSetString(event, kEvent_name, \"_vs\");",
             "//   std::optional<os::Data> bytes = event.protoBuffer();",
             "#pragma once\n",
             "#include <cstdint>\n",
             '#include "measurement/wire/access.h"',
             '#include "measurement/wire/nano_message.h"',
             '#include "measurement/wire/schema/schema_types.h"', ""]
    for m in messages:
        for index, f in enumerate(m["fields"]):
            lines.append("inline constexpr int32_t k%s_%s = %d;" % (m["name"], f["name"], index))
        lines.append("")
    for m in messages:
        lines.append("class APMPB%s final : public NANOMessage<APMPB%s, wire::schema::k%sType> {"
                     % (m["name"], m["name"], m["name"]))
        lines.append(" public:")
        lines.append("  using NANOMessage::NANOMessage;")
        lines.append("};")
    lines.append("")
    return "\n".join(lines)


def main():
    descriptor_set, out_dir = sys.argv[1], sys.argv[2]
    messages = load_messages(descriptor_set)
    write_if_changed(os.path.join(out_dir, "schema_types.h"), types_header(messages))
    write_if_changed(os.path.join(out_dir, "schema_types.cpp"),
                     types_source(messages))
    write_if_changed(os.path.join(out_dir, "apmpb.h"), wrappers_header(messages))


if __name__ == "__main__":
    main()
