// Makes a manual page from its template at build time: the lines @SYNOPSIS@ and @OPTIONS@ become the
// commands and options from the very tables that --help prints, and @RESULTS@ the record's results
// from the result kinds' table, so the page cannot disagree with the program.
//   zup_manpage zupflshc|zupsim TEMPLATE OUTPUT
#include <QString>
#include <QStringList>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "cli/CommandLineOptions.h"
#include "cli/HistoryCommand.h"
#include "engine/JobResult.h"
#include "sim/Options.h"

namespace {

// Text for roff: backslashes and hyphens escaped, a leading dot or quote kept as text.
QString Roff(const QString& text) {
    QString out;
    for (const QChar c : text) {
        if (c == '\\') out += "\\e";
        else if (c == '-') out += "\\-";
        else out += c;
    }
    if (out.startsWith('.') || out.startsWith('\'')) out.prepend("\\&");
    return out;
}

// "--capture [PATH]": option words bold, value names italic, brackets and commas plain.
QString RoffOption(const QString& option) {
    QStringList words;
    for (QString word : option.split(' ')) {
        QString before, after;
        while (word.startsWith('[')) before += word.front(), word.remove(0, 1);
        while (word.endsWith(']') || word.endsWith(',')) after.prepend(word.back()), word.chop(1);
        words << before + (word.startsWith('-') ? "\\fB" : "\\fI") + Roff(word) + "\\fR" + after;
    }
    return words.join(' ');
}

QString Paragraph(const char* option, const char* text) {
    return ".TP\n" + RoffOption(option) + "\n" + Roff(QString(text).replace('\n', ' ')) + "\n";
}

QString ProgramOptions() {
    QString out;
    for (const TOptionHelp& o : OptionHelp()) out += Paragraph(o.Option, o.Text);
    return out;
}

// Each command with the options it takes, as the parser checks them.
QString ProgramSynopsis() {
    QString out = ".B zupflshc\n";
    for (const TCommandUsage& command : CommandUsage()) {
        out += ".br\n.B zupflshc " + command.Name + "\n";
        // The station window's file may be chosen in the window instead.
        if (command.TakesFile) out += command.Name == "station" ? ".RI [ FILE ]\n" : ".I FILE\n";
        for (const QString& name : command.Options)
            for (const TOptionHelp& o : OptionHelp())
                if (QString(o.Option).section(' ', 0, 0) == name) out += "[" + RoffOption(o.Option) + "]\n";
    }
    return out;
}

// The results a record can hold, from the result kinds' one table: a preparation alone leaves no
// record, so "prepared" is not among them.
QString RecordResults() {
    QStringList names;
    for (const std::string& name : ResultKindNames())
        if (name != "prepared") names << QString::fromStdString(name);
    QString out = ".BR";
    for (int i = 0; i < names.size(); ++i) {
        if (i > 0) out += i + 1 == names.size() ? " \" or \"" : " \", \"";
        out += " " + Roff(names[i]);
    }
    return out + " ,\n";
}

// history with every option its parser takes.
QString HistorySynopsis() {
    QString out = ".B zupflshc history\n";
    for (const QCommandLineOption& o : HistoryOptions()) {
        const QString name = "\\-\\-" + Roff(o.names().first());
        out += o.valueName().isEmpty() ? ".RB [ " + name + " ]\n" : ".RB [ " + name + "\n.IR " + o.valueName() + " ]\n";
    }
    return out;
}

QString SimSwitches() {
    QString out;
    for (const TSwitchHelp& s : SwitchHelp()) out += Paragraph(s.Switch, s.Text);
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: zup_manpage zupflshc|zupsim TEMPLATE OUTPUT\n");
        return 2;
    }
    const std::string which = argv[1];
    std::ifstream in(argv[2]);
    if (!in) {
        std::fprintf(stderr, "zup_manpage: cannot read %s\n", argv[2]);
        return 1;
    }
    std::ostringstream out;
    for (std::string line; std::getline(in, line);) {
        if (line == "@SYNOPSIS@" && which == "zupflshc") out << ProgramSynopsis().toStdString();
        else if (line == "@OPTIONS@") out << (which == "zupflshc" ? ProgramOptions() : SimSwitches()).toStdString();
        else if (line == "@RESULTS@") out << RecordResults().toStdString();
        else if (line == "@HISTORY_SYNOPSIS@") out << HistorySynopsis().toStdString();
        else out << line << "\n";
    }
    std::ofstream file(argv[3], std::ios::trunc);
    file << out.str();
    file.close();
    if (!file) {
        std::fprintf(stderr, "zup_manpage: cannot write %s\n", argv[3]);
        return 1;
    }
    return 0;
}
