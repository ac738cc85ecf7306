#pragma once
// The received-data log: text that mostly grows at its end. It counts the changes that are not
// appends, so that a view which already shows the log can add only what is new instead of
// rewriting the whole text on every received event.

#include <QString>
#include <QStringView>

class DataLog {
  public:
    void Append(QStringView text) { m_text.append(text); }
    void Clear() { Assign(QString()); }
    void Assign(const QString& text) {
        m_text = text;
        ++m_revision;
    }
    const QString& Text() const { return m_text; }
    qsizetype Size() const { return m_text.size(); }
    // Changes whenever the text changed other than by Append.
    quint64 Revision() const { return m_revision; }

  private:
    QString m_text;
    quint64 m_revision = 0;
};
