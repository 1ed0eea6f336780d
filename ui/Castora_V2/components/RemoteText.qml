import QtQuick

// Text that comes from the backend or the chat: names, titles, dates, release notes, listener
// counts, error messages of replies. It is shown exactly as it is: markup in it is never
// interpreted, so it can neither restyle the screen nor make the program fetch an image.
// Every text bound to such data is a RemoteText (tst_broadcastscreen shows such data with
// markup on every screen and checks each text item that holds it).
// Screen readers read it as it is shown; hidden or empty, it is not exposed.
Text {
    textFormat: Text.PlainText
    Accessible.role: Accessible.StaticText
    Accessible.name: text
    Accessible.ignored: !visible || text === ""
}
