#include "UiTestSupport.h"

#include <QTest>

#include <cstdlib>
#include <functional>

namespace harbolt::test {

QStringList Lines(const QListWidget* list) {
    QStringList lines;
    for (int i = 0; i < list->count(); ++i)
        lines << list->item(i)->text();
    return lines;
}

void ClickLine(QListWidget* list, int row) {
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {},
                      list->visualItemRect(list->item(row)).center());
}

TUiInstance::TUiInstance(TLanguage language, const std::string& name) {
    SetLanguage(language);
    ThreadsStop = false;
    char pattern[] = "/tmp/harbolt-ui-XXXXXX";
    Dir = ::mkdtemp(pattern);
    TInstanceOptions options;
    options.Name = name;
    options.DataDir = Dir.string();
    options.Network = false; // datagrams go straight to the own incoming queue
    options.Dialup = "sim";
    options.Face = &Face;
    options.LocalHostName = [] { return std::string("localhost"); };
    options.PostToMainThread = [](std::function<void()> task) { task(); };
    Instance = std::make_unique<TInstance>(options, Clock, Setter);
    Instance->Start();
    Face.Attach(*Instance);
    Form = Face.MainForm();
    Form->PlaySoundFile = [this](const std::string& file) { Sounds.push_back(file); };
    Form->TrayAvailable = [this] { return Tray; };
}

TUiInstance::~TUiInstance() {
    ClearNextMessageAnswer();
    Face.Detach();
    Instance->Shutdown();
    Instance.reset();
    std::filesystem::remove_all(Dir);
    OwnComputerName = "unknown";
    ThreadsStop = false;
    DialRequested = false;
    NewMailArrived = false;
    SetOnlineProxyAddress("");
}

} // namespace harbolt::test
