#include "CommandTemplate.h"

#include "ShellCommand.h"

namespace zarv {

QString fillTemplate(const QString& text, const QList<TemplateValue>& values) {
    QString filled;
    filled.reserve(text.size());
    qsizetype i = 0;
    while (i < text.size()) {
        const TemplateValue* match = nullptr;
        for (const TemplateValue& value : values) {
            if (!value.first.isEmpty() && QStringView(text).mid(i).startsWith(value.first)) {
                match = &value;
                break;
            }
        }
        if (match) {
            filled += match->second;
            i += match->first.size();
        } else {
            filled += text.at(i);
            ++i;
        }
    }
    return filled;
}

QStringList findPaths(const QString& findCommand) {
    const QString output =
        runShellCommand(findCommand + QStringLiteral(" -print0")).value_or(QString());
    QStringList paths = output.split(QChar(u'\0'), Qt::SkipEmptyParts);
    if (paths.isEmpty())
        paths.append(QString());
    return paths;
}

} // namespace zarv
