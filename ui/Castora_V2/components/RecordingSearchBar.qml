import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import "ScreenLogic.js" as Logic

// The recordings screen's search box: a magnifier and the field for a title or a date.
Rectangle {
    id: searchBar

    // What the user typed; the screen filters its list on it.
    property alias text: searchField.text

    color: "#F8F8F8"
    border.color: "#E0E0E0"
    border.width: 1
    radius: 20

    RowLayout {
        anchors.fill: parent
        anchors.leftMargin: 15
        anchors.rightMargin: 15
        spacing: 10

        Text {
            text: "🔍"
            font.family: Logic.emojiFont
            color: "#888888"
            font.pixelSize: 16
        }

        TextField {
            id: searchField

            objectName: "searchField"
            Layout.fillWidth: true
            placeholderText: qsTr("Search by title or date")
            placeholderTextColor: "#999999"
            color: "#333333"
            font.pixelSize: 14
            background: null
            selectByMouse: true
            activeFocusOnTab: true
            Accessible.name: placeholderText
            Accessible.ignored: !visible

            FocusMark {
                anchors.margins: -6
                anchors.leftMargin: -40
                shown: searchField.activeFocus
            }
        }
    }
}
