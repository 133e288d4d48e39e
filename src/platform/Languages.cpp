#include "platform/Languages.h"

#include "platform/CodePage.h"

#include <atomic>
#include <clocale>
#include <cstring>
#include <langinfo.h>

namespace harbolt {

namespace {

struct TTextPair {
    const char* German;
    const char* English;
};

// Both wordings exactly as the program has always shown them, misspellings included.
// clang-format off
constexpr TTextPair kTexts[kTextCount] = {
    /*   0 */ {"Gesamtüberblick", "All Computers"},
    /*   1 */ {"freie Eigenschaften", "Free properties"},
    /*   2 */ {"alle Eigenschaften anzeigen", "Show all properties"},
    /*   3 */ {"Schlüssel:", "key:"},
    /*   4 */ {"Wert:", "value:"},
    /*   5 */ {"für eigenen Computer übernehmen", "Copy to own computer"},
    /*   6 */ {"alle Daten erneut anfordern", "Retransmit all data"},
    /*   7 */ {"neuen Wert setzen", "Set new value"},
    /*   8 */ {"DFÜ-Verbindungen", "RAS-connections"},
    /*   9 */ {"Zeitraum", "Time"},
    /*  10 */ {"von", "from"},
    /*  11 */ {"bis", "to"},
    /*  12 */ {"Provider", "Provider"},
    /*  13 */ {"Zeit (Summe):", "Overall time:"},
    /*  14 */ {"Einzelübersicht", "List of individual items"},
    /*  15 */
    {"inaktiv, da auch %s Zeitmeister sein will.",
     "inactiv, because %s will be a timemaster, too."},
    /*  16 */ {"(%s online mit %s)", "(%s online using %s)"},
    /*  17 */ {"(alle offline)", "(all offline)"},
    /*  18 */ {"%s ist im Netzwerk angemeldet; ", "%s is registrated in the local net; "},
    /*  19 */ {"%s bin ich.", "I am %s."},
    /*  20 */ {"die Daten von %s sind aktuell.", "The data of %s is up to date."},
    /*  21 */
    {"%s ist zuletzt aktualisiert worden am %s um %s.", "The data of %s is from %s at %s."},
    /*  22 */ {"%s (nur %s)", "%s (only %s)"},
    /*  23 */ {"%s (für alle Computer im Netzwerk)", "%s (for all computers in the local net)"},
    /*  24 */ {"Es sind keine Daten vorhanden.", "There is no data."},
    /*  25 */
    {"Wollen Sie Harbolt wirklich beenden? Es werden dann keine Internet-Zugriffe mehr "
     "aufgezeichnet.",
     "Do you really want to close the Harbolt?"},
    /*  26 */
    {"Möchten Sie eine Verbindung zum Internet herstellen?",
     "Do you want to connect to the Internet?"},
    /*  27 */
    {"Möchten Sie die Verbindung zum Internet trennen?",
     "Do you want to disconnect from the Internet?"},
    /*  28 */ {"Verbindung zum Internet herstellen", "Connect to the Internet"},
    /*  29 */ {"Verbindung zum Internet trennen", "Disconnect from the Internet"},
    /*  30 */ {"Verbindung zum Internet übernehmen", "Take over the Internet"},
    /*  31 */ {"Verbindungsdaten öffnen...", "Open window..."},
    /*  32 */ {"Proxy-Einstellungen...", "Proxy-settings..."},
    /*  33 */ {"eMail-Einstellungen...", "Email notification-settings..."},
    /*  34 */ {"Beenden", "Quit"},
    /*  35 */ {"Jahr:", "Year:"},
    /*  36 */ {"Monat:", "Month:"},
    /*  37 */ {"OK", "OK"},
    /*  38 */ {"Abbruch", "Cancel"},
    /*  39 */ {"Frage", "Question"},
    /*  40 */
    {"Diese Frage wird in %d Sekunden automatisch mit %s beantwortet.",
     "This Question will be answered automatically in %d seconds with %s."},
    /*  41 */ {"Ja", "Yes"},
    /*  42 */ {"Nein", "No"},
    /*  43 */ {"Datum", "Date"},
    /*  44 */ {"Uhrzeit", "Time"},
    /*  45 */ {"Computer", "Computer"},
    /*  46 */ {"Dauer", "Duration"},
    /*  47 */ {"Übersicht über %s", "Overview over %s"},
    /*  48 */
    {"Eine Verbindung zum Internet konnte nicht hergestellt werden, Grund: %s (%d)",
     "An error occurred on connecting to the Internet: %s (%d)"},
    /*  49 */
    {"Ein Internet-Zugriff wurde angefordert, obwohl noch keine Internet-Verbindung im Netzwerk "
     "besteht. Soll eine Verbindung zum Internet hergestellt werden?",
     "A connection to the Internet is requested, but no computer in the local net is online. Do "
     "you want to connect to the Internet?"},
    /*  50 */
    {"Der Internet-Zugang wurde schon länger nicht benutzt. Soll die Verbindung nun getrennt "
     "werden?",
     "You a online, but the connection to the Internet has not been used for some time. Do you "
     "want to disconnect from the Internet?"},
    /*  51 */ {"unbekanntes Protokoll: %s", "unknown protocol: %s"},
    /*  52 */ {"ungültiges Protokoll", "bad protocol"},
    /*  53 */ {"WinSock nicht verfügbar", "WinSock not available"},
    /*  54 */ {"ungueltiger Socket", "bad socket"},
    /*  55 */ {"Name %s hat ungültiges Format", "Name %s has bad format"},
    /*  56 */ {"ungueltige IP-Adresse", "bad  IP-address"},
    /*  57 */
    {"Adresse %s kann nicht an Socket gebunden werden", "Address %s cannot be bound to socket"},
    /*  58 */ {"Fehler beim Senden", "error on sending"},
    /*  59 */ {"Fehler beim Empfangen", "error on receiving"},
    /*  60 */ {"Fehler beim Verbinden zu %s", "error on connecting to %s"},
    /*  61 */ {"kann nicht lauschen", "cannot listen"},
    /*  62 */ {"unerwarteter Verbindungsabbau", "unexpected end of session"},
    /*  63 */ {"Zeile zu lang", "line too long"},
    /*  64 */ {"Proxy aktiv", "Proxy active"},
    /*  65 */ {"Einstellungen", "Settings"},
    /*  66 */
    {"lokale Adresse (zum Zugriff anderer über das Netzwerk)",
     "local address (to be reached by other computers on the local net)"},
    /*  67 */ {"Port", "port"},
    /*  68 */
    {"Von dieser IP-Adresse werden auch Datagramme (Port 42717) geschickt, um diesen Computer im "
     "lokalen Netz bekannt zu machen.",
     "There are also datagrams sent on this address (port 42717), to make public this computer on "
     "the local net."},
    /*  69 */ {"Zuordnungen", "Mappings"},
    /*  70 */ {"Werte", "Values"},
    /*  71 */ {"binden an (IP-Adresse oder Name)", "bind to (IP-address or name)"},
    /*  72 */ {"Port", "port"},
    /*  73 */ {"verweist auf", "this address is a"},
    /*  74 */ {"IP-Adresse oder Name", "IP-address or name"},
    /*  75 */ {"Port", "port"},
    /*  76 */ {"weiterleiten", "mapping to"},
    /*  77 */
    {"automatisches Wählen veranlassen (siehe rechts)",
     "Dial on demand (as shown on the right panel)"},
    /*  78 */ {"Neu", "New"},
    /*  79 */ {"Setzen", "Set"},
    /*  80 */ {"Löschen", "Remove"},
    /*  81 */ {"automatisch Wählen", "Dial on demand"},
    /*  82 */ {"Verbindung", "RAS-Entry"},
    /*  83 */ {"Benutzername", "Username"},
    /*  84 */ {"Passwort", "Password"},
    /*  85 */ {"Trennen nach", "Disconnect after"},
    /*  86 */ {"Sekunden", "seconds"},
    /*  87 */ {"vor Wählen fragen", "ask before connecting"},
    /*  88 */ {"vor Trennen fragen", "ask before disconnecting"},
    /*  89 */ {"Jetzt wählen", "Dial now"},
    /*  90 */ {"Jetzt trennen", "Hangup now"},
    /*  91 */ {"Es sind schon 100 Zuordnungen definiert.", "Mapping table is full!"},
    /*  92 */ {"ohne Aktivität.", "of inactivity."},
    /*  93 */ {"Proxy-Einstellungen", "Proxy-Settings"},
    /*  94 */
    {"lokalen DNS Server aktivieren; Anfragen weiterleiten zu",
     "activate local DNS server; forward queries to"},
    /*  95 */ {"Wählen veranlassen", "dial on query"},
    /*  96 */ {"Über Harbolt", "About Harbolt"},
    /*  97 */ {"Über...", "About..."},
    /*  98 */ {"Postfächer", "POP3-Mailboxes"},
    /*  99 */ {"Name:", "Name:"},
    /* 100 */ {"POP3-Server:", "POP3-Server:"},
    /* 101 */ {"Benutzername:", "User name:"},
    /* 102 */ {"Passwort:", "Password:"},
    /* 103 */ {"Aktion:", "What to do with mails:"},
    /* 104 */ {"Neu", "New"},
    /* 105 */ {"Setzen", "Set"},
    /* 106 */ {"Löschen", "Clear"},
    /* 107 */ {"weitere Einstellungen", "more Properties"},
    /* 108 */ {"Häufigkeit", "Frequency: Check every"},
    /* 109 */ {"alle", ""},
    /* 110 */ {"Minuten überprüfen", "minutes"},
    /* 111 */ {"falls keine Internet-Verbindung besteht:", "if not connected to the Internet:"},
    /* 112 */ {"automatisches Wählen veranlassen", "dial on demand"},
    /* 113 */ {"Klang bei neuer Nachricht:", "Soundfile for notification of new email:"},
    /* 114 */ {"bei neuen eMails Hinweis geben", "notify when new email arrives"},
    /* 115 */ {"bei vorhandenen eMails Hinweis geben", "notify when email is available"},
    /* 116 */ {"alle eMails löschen (Vorsicht!)", "delete all emails (beware!)"},
    /* 117 */ {"Posteingang überprüfen", "Preferences for mail checking"},
};
// clang-format on

std::atomic<TLanguage> CurrentLanguage{TLanguage::English};

// Replaces each "%s" and "%d" of the template with the next argument.
std::string FillTemplate(const char* text, std::initializer_list<const std::string*> args) {
    std::string out;
    auto next = args.begin();
    for (const char* p = text; *p != '\0'; ++p) {
        if (p[0] == '%' && (p[1] == 's' || p[1] == 'd') && next != args.end()) {
            out += **next++;
            ++p;
        } else {
            out += *p;
        }
    }
    return out;
}

} // namespace

TLanguage LanguageForMonthName(std::string_view marchCp1252) {
    return marchCp1252 == "M\xE4rz" ? TLanguage::German : TLanguage::English;
}

void ChooseLanguage() {
    const char* march = nl_langinfo(MON_3);
    std::string name = march != nullptr ? march : "";
    // The month name comes in the locale's character set; only UTF-8 needs converting.
    const char* codeset = nl_langinfo(CODESET);
    if (codeset != nullptr && std::strcmp(codeset, "UTF-8") == 0)
        name = Utf8ToCp1252(name);
    SetLanguage(LanguageForMonthName(name));
}

void SetLanguage(TLanguage language) {
    CurrentLanguage.store(language);
}

TLanguage Language() {
    return CurrentLanguage.load();
}

const char* LanguageText(int index, TLanguage language) {
    if (index < 0 || index >= kTextCount)
        return "";
    return language == TLanguage::German ? kTexts[index].German : kTexts[index].English;
}

const char* LanguageText(int index) {
    return LanguageText(index, Language());
}

std::string FormatText(int index, const std::string& a) {
    return FillTemplate(LanguageText(index), {&a});
}

std::string FormatText(int index, const std::string& a, const std::string& b) {
    return FillTemplate(LanguageText(index), {&a, &b});
}

std::string FormatText(int index, const std::string& a, const std::string& b,
                       const std::string& c) {
    return FillTemplate(LanguageText(index), {&a, &b, &c});
}

} // namespace harbolt
