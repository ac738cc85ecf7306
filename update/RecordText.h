// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The line structure of an Intel HEX or S-record file, checked before the records are read:
// what could flash a wrong image is refused with its line number (data after the end record,
// as two files joined with cat make; a file that may be cut short; a garbage line; two start
// addresses that differ), and what toolchains and srec_cat legitimately write is accepted
// (any line ends, blanks at a line's end, blank lines, no S0 header, a count record in place of
// the termination record, a start address given twice alike). The text comes back in the one
// shape the record reader takes: one record a line, LF line ends, a header and an end record.

#include <QByteArray>
#include <QList>
#include <QString>

enum class ImageFormat;

struct RecordText {
    bool ok = false;
    QByteArray text;   // when ok: the records, normalised for the reader
    QList<int> origin; // when ok: the file's line of each line of `text`; 0 for one added
    QString reason;    // when not: for the operator, with the line number
};

RecordText CheckRecordText(const QByteArray& file, ImageFormat format);
