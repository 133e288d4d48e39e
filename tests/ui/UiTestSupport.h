#pragma once

// A running instance without network threads, with its window face: the windows see what a real
// instance gives them, and the tests drive its timers and its clock.

#include "app/Instance.h"
#include "database/Database.h"
#include "dialup/RasManager.h"
#include "mail/MailAccounts.h"
#include "peer/Datagram.h"
#include "platform/TimeSetter.h"
#include "proxy/ProxyState.h"
#include "support/FakeTickClock.h"
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

// The texts of a list's lines, top to bottom.
QStringList Lines(const QListWidget* list);
// A click on a list's line, as the user would.
void ClickLine(QListWidget* list, int row);

class TUiInstance {
public:
    explicit TUiInstance(TLanguage language = TLanguage::English,
                         const std::string& name = "ALPHA");
    ~TUiInstance();

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
        Clock.Advance(milliseconds);
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
    TFakeTickClock Clock;
    TRecordingTimeSetter Setter{"/dev/null"};
    TWindowFace Face;
    std::unique_ptr<TInstance> Instance;
    TMainForm* Form = nullptr;
    std::vector<std::string> Sounds;
    bool Tray = true;
};

} // namespace harbolt::test
