#pragma once

#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>
#include <QString>

class QSqlQuery;

namespace taxvault {

// One row of a counters table: the shift counters, the non-resettable counters
// or a fiscal-memory record. Counters documents are combined by adding their
// numbers key by key, at every depth.
class CountersRecord
{
public:
    // No row at all.
    CountersRecord();
    // A document that was not read from a table (a delta, a merge result).
    explicit CountersRecord(const QJsonObject& document);
    // The single row of an executed "SELECT rowid, data FROM <counters table>".
    // No row: null. Two or more rows, or text that is no JSON object: not
    // null, with the first row's id and an empty document, and damaged.
    explicit CountersRecord(QSqlQuery& query);
    // The statement reading the row did not execute: what the table holds is
    // unknown. Null like an empty table, but never a reason to insert a row.
    static CountersRecord unreadable();

    bool isNull() const { return m_null; }
    // The document holds something.
    bool isValid() const { return !m_document.isEmpty(); }
    // The table holds more than one row, or its row is no JSON object. A row
    // that holds an empty object ({}) is not damaged: it counts as zero.
    bool isDamaged() const { return m_damaged; }
    bool isUnreadable() const { return m_unreadable; }

    int rowid() const { return m_rowid; }
    QJsonObject document() const { return m_document; }

    int shiftNumber() const { return m_shiftNumber; }
    void setShiftNumber(int shiftNumber) { m_shiftNumber = shiftNumber; }
    QDateTime creationTime() const { return m_creationTime; }
    void setCreationTime(const QDateTime& creationTime) { m_creationTime = creationTime; }

    QString toJsonText(QJsonDocument::JsonFormat format) const;
    // Every number, at every depth, is finite. The JSON writer stores an
    // infinite sum as null, which the merge then reads as 0.
    bool isFinite() const;

    // A new record (not null, row id -1) holding the merge of both documents.
    CountersRecord operator+(const CountersRecord& other) const;

    // Keys of both sides; an object on either side merges recursively (a
    // missing or non-object side counts as {}), anything else is added as a
    // number, with 0 for whatever is no number.
    static QJsonObject mergeCounters(const QJsonObject& first, const QJsonObject& second);

private:
    int m_rowid = -1;
    QJsonObject m_document;
    bool m_null = true;
    int m_shiftNumber = -1;
    QDateTime m_creationTime;
    bool m_damaged = false;
    bool m_unreadable = false;
};

} // namespace taxvault
