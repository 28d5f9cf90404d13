#include "CommandLine.h"

bool ParseCommandLine(QCommandLineParser& parser, const std::vector<CommandOption>& options,
                      const std::vector<std::string>& args, std::string* error) {
    // Only "--name" spellings; a word with one dash is not an option but a stray argument.
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.setOptionsAfterPositionalArgumentsMode(QCommandLineParser::ParseAsOptions);
    parser.addOption(QCommandLineOption(QStringList{QStringLiteral("h"), QStringLiteral("help")}));
    for (const CommandOption& option : options) {
        parser.addOption(
            QCommandLineOption(QString::fromLatin1(option.name), QString(), QString::fromLatin1(option.valueName)));
    }
    QStringList arguments{QStringLiteral("camera-setup")};
    for (const std::string& arg : args) {
        arguments.append(QString::fromStdString(arg));
    }
    if (parser.parse(arguments)) {
        return true;
    }
    if (const QStringList unknown = parser.unknownOptionNames(); !unknown.isEmpty()) {
        *error = "unknown argument \"--" + unknown.first().toStdString() + "\"";
    } else {
        *error = parser.errorText().toStdString();
    }
    return false;
}

std::optional<std::string> OptionValue(const QCommandLineParser& parser, const char* name) {
    const QString option = QString::fromLatin1(name);
    if (!parser.isSet(option)) {
        return std::nullopt;
    }
    return parser.value(option).toStdString();
}
