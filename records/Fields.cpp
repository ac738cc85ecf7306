// SPDX-License-Identifier: GPL-3.0-or-later
#include "records/Fields.h"

#include "records/Store.h"

#include <QStringList>

namespace records {

const QList<Field>& RecordFields() {
    using K = Field::Kind;
    static const QList<Field> fields{
        {"id", K::Text},
        {"record", K::Text},
        {"schema", K::Integer},
        {"time", K::Time},
        {"version", K::Text},
        {"host", K::Text},
        {"station", K::Text},
        {"port", K::Text},
        {"slot", K::Text},
        {"device", K::Text},
        {"usb_serial", K::Text},
        {"usb_vendor_id", K::Text},
        {"usb_product_id", K::Text},
        {"board_serial", K::Text, 2}, // the per-board serial number stamped into the image
        {"board_mac", K::Text, 4},    // the MAC address stamped into it
        {"image", K::Text},
        {"image_bytes", K::Integer},
        {"image_sha256", K::Text},
        {"blocks", K::Integer},
        {"baud", K::Integer, 5}, // the line's rate: what the wire allows
        {"result", K::Text},
        {"failure", K::Text},
        {"stopped_by", K::Text},
        {"reason", K::Text},
        {"last_block_acknowledged", K::Boolean},
        {"expect", K::Text},
        {"expect_matched", K::Boolean},
        {"expect_text", K::Text},
        {"seconds", K::Real},
        {"attempt", K::Integer},
        {"job", K::Text},
        {"job_sha256", K::Text},
        {"job_signed_by", K::Text},
        {"operator", K::Text},
        {"work_order", K::Text},
        {"passed", K::Integer},
        {"failed", K::Integer},
        {"total", K::Integer},
    };
    return fields;
}

QString SeqCondition(const RecordFilter& filter) {
    if (filter.afterSeq < 0 && filter.seqs.isEmpty()) {
        return {};
    }
    QStringList seqs;
    for (const qint64 seq : filter.seqs) {
        seqs << QString::number(seq);
    }
    const QString after = QStringLiteral("seq > %1").arg(filter.afterSeq);
    const QString listed = QStringLiteral("seq IN (%1)").arg(seqs.join(QLatin1Char(',')));
    return seqs.isEmpty()        ? after
           : filter.afterSeq < 0 ? listed
                                 : QStringLiteral("(%1 OR %2)").arg(after, listed);
}

QString ColumnList() {
    QStringList names;
    for (const Field& field : RecordFields()) {
        names << QStringLiteral("\"%1\"").arg(QLatin1String(field.name));
    }
    return names.join(QLatin1Char(','));
}

} // namespace records
