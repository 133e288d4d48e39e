#pragma once

// A running instance without network threads, with its window face: the windows see what a real
// instance gives them, and the tests drive its timers and its clock.

#include "app/Instance.h"
#include "database/Database.h"
#include "dialup/RasManager.h"
#include "mail/MailAccounts.h"
#include "peer/Datagram.h"
#include "platform/Clock.h"
#include "platform/TimeSetter.h"
#include "proxy/ProxyState.h"
#include "ui/MainForm.h"
#include "ui/MessageForm.h"
#include "ui/WindowFace.h"

#include <QListWidget>
#include <QTabBar>
#include <QTest>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace harbolt::test {

inline QStringList Lines(const QListWidget* list) {
    QStringList lines;
    for (int i = 0; i < list->count(); ++i)
        lines << list->item(i)->text();
    return lines;
}

inline void ClickLine(QListWidget* list, int row) {
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {},
                      list->visualItemRect(list->item(row)).center());
}

class TManualClock final : public TTickClock {
public:
    std::uint32_t Now() const override { return Ticks; }
    std::uint32_t Ticks = 100000;
};

class TUiInstance {
public:
    explicit TUiInstance(TLanguage language = TLanguage::English,
                         const std::string& name = "ALPHA") {
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
    ~TUiInstance() {
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

    // Datagrams of a computer, as the listening thread would queue them; then one receive pass.
    void Hear(const TDatagram& datagram) {
        PostIncomingDatagram(datagram.data(), datagram.size());
        Instance->ReceiveTimerProc();
    }
    void Present(const std::string& name) { Hear(PresenceDatagram(name)); }
    // An online datagram, and the 5-second refresh that shows it.
    void Online(const std::string& name, const std::string& connection) {
        Hear(OnlineDatagram(name, connection));
        Instance->UpdateTimerTimer();
    }
    // Time passes without a word from anybody.
    void Silence(std::uint32_t milliseconds) {
        Clock.Ticks += milliseconds;
        Instance->ReceiveTimerProc();
    }
    void SelectTab(const QString& caption) {
        for (int i = 0; i < Form->TabControl->count(); ++i)
            if (Form->TabControl->tabText(i) == caption) {
                Form->TabControl->setCurrentIndex(i);
                return;
            }
        QFAIL(qPrintable("no tab " + caption));
    }

    std::filesystem::path Dir;
    TManualClock Clock;
    TRecordingTimeSetter Setter{"/dev/null"};
    TWindowFace Face;
    std::unique_ptr<TInstance> Instance;
    TMainForm* Form = nullptr;
    std::vector<std::string> Sounds;
    bool Tray = true;
};

} // namespace harbolt::test
