import QtQuick
import QtQuick.Layouts
import Qt5Compat.GraphicalEffects
import com.StreamController
import "ScreenLogic.js" as Logic

// The upper part of the broadcast screen: the event's artwork, blurred as a backdrop and on a
// card with the LIVE badge, and beside it "Edit Event", the title, the channel, the listener
// count while on air, and "Share" with the channel's listen link.
Item {
    id: panel

    // The stream's own artwork, else the channel's.
    readonly property string artwork: StreamController.streamArt !== "" ? StreamController.streamArt
                                                                          : StreamController.channelArt
    readonly property string listenLink: Logic.listenLink(AppLinks.website,
                                                          StreamController.ChannelSlug)
    // The software renderer (chosen where OpenGL would be drawn by the processor) draws no
    // shader effects.
    readonly property bool shaderEffects: GraphicsInfo.api !== GraphicsInfo.Software

    signal editEventClicked

    // Back from the edit-event dialog, the keyboard focus is where it was.
    function focusEditEvent() {
        editEventButton.forceActiveFocus(Qt.TabFocusReason);
    }

    // A white button with an icon and a label, as "Edit Event" and "Share" are drawn.
    component IconButton: AppButton {
        id: iconButton

        property url iconSource
        property color fill
        property color textColor
        property int textSize: 12
        property bool boldText: false

        background: Rectangle {
            color: iconButton.fill
            radius: 6
        }
        // The icon and the label, centred between two fillers.
        contentItem: RowLayout {
            spacing: 6

            Item {
                Layout.fillWidth: true
            }

            Image {
                Layout.preferredWidth: 14
                Layout.preferredHeight: 14
                source: iconButton.iconSource
                sourceSize.width: 28
                sourceSize.height: 28
                fillMode: Image.PreserveAspectFit
            }

            Text {
                text: iconButton.text
                color: iconButton.textColor
                font.pixelSize: iconButton.textSize
                font.bold: iconButton.boldText
            }

            Item {
                Layout.fillWidth: true
            }
        }
    }

    Rectangle {
        anchors.fill: parent
        color: "white"
    }

    // The blur takes the item around the image, not the image itself: a blur fed straight
    // from an image loaded over the network crashes Qt 6.4's render thread. Drawn only into
    // the blur, not under it.
    Item {
        id: backdrop

        anchors.fill: parent
        visible: false

        Image {
            id: backdropImage

            objectName: "backdrop"
            anchors.fill: parent
            source: panel.shaderEffects ? panel.artwork : ""
            fillMode: Image.Stretch
            asynchronous: true
        }
    }

    // Qt 6.4 has no MultiEffect: the compatibility blur, darkened by the layer above. Cached:
    // blurred again only when the artwork changes, not at every frame of the window.
    FastBlur {
        anchors.fill: backdrop
        source: backdrop
        radius: 64
        cached: true
        visible: panel.shaderEffects && backdropImage.status === Image.Ready
    }

    // Without shader effects: the artwork shrunk to a few pixels and stretched back smoothly
    // stands in for the blur.
    Image {
        anchors.fill: parent
        visible: !panel.shaderEffects && status === Image.Ready
        source: panel.shaderEffects ? "" : panel.artwork
        sourceSize.width: 12
        fillMode: Image.Stretch
        smooth: true
        asynchronous: true
    }

    Rectangle {
        anchors.fill: parent
        color: "#000000"
        opacity: 0.6
    }

    // The card begins 40 px from the left edge (two empty places of the row's spacing).
    Row {
        anchors.top: parent.top
        anchors.topMargin: 20
        anchors.left: parent.left
        leftPadding: 40
        spacing: 20

        Rectangle {
            id: card

            width: 200
            height: 190
            radius: 12
            color: "#FFFFFF"

            Image {
                id: cardImage

                objectName: "cardImage"
                anchors.fill: parent
                anchors.margins: 10
                source: panel.artwork
                fillMode: Image.PreserveAspectFit
                asynchronous: true
            }

            Rectangle {
                objectName: "artworkFallback"
                anchors.fill: cardImage
                color: "#333333"
                visible: cardImage.status !== Image.Ready

                Text {
                    anchors.centerIn: parent
                    horizontalAlignment: Text.AlignHCenter
                    text: qsTr("EVENT \nTHUNBNAIL")
                    color: "#FFFFFF"
                    font.pixelSize: 20
                    font.bold: true
                }
            }

            Rectangle {
                objectName: "liveBadge"
                x: 10
                y: card.height - 40
                width: 50
                height: 20
                radius: 4
                color: "#FF0000"
                visible: StreamController.live

                Text {
                    anchors.centerIn: parent
                    textFormat: Text.RichText
                    text: Logic.emojiRichText(qsTr("🔴 LIVE"))
                    color: "#FFFFFF"
                    font.pixelSize: 10
                    font.bold: true
                }
            }
        }

        Column {
            anchors.verticalCenter: card.verticalCenter
            spacing: 5

            IconButton {
                id: editEventButton

                objectName: "editEventButton"
                text: qsTr("Edit Event")
                iconSource: "../icons/edit.png"
                fill: "#CC3333"
                textColor: "#FFFFFF"
                textSize: 13
                onClicked: panel.editEventClicked()
            }

            RemoteText {
                objectName: "titleLine"
                text: Logic.titleLine(StreamController.streamTitle)
                color: "#ffffff"
                font.pixelSize: 12
            }

            RemoteText {
                objectName: "channelCaption"
                text: Logic.channelCaption(StreamController.channelName)
                color: "#FFFFFF"
                font.pixelSize: 11
            }

            Row {
                objectName: "listenerRow"
                spacing: 6
                visible: StreamController.live

                Image {
                    anchors.verticalCenter: parent.verticalCenter
                    width: 16
                    height: 16
                    source: "../icons/listeners.png"
                    sourceSize.width: 32
                    sourceSize.height: 32
                    fillMode: Image.PreserveAspectFit
                }

                RemoteText {
                    objectName: "listenerCount"
                    anchors.verticalCenter: parent.verticalCenter
                    text: Logic.listenerText(StreamController.listeners)
                    color: "#FFFFFF"
                    font.pixelSize: 12
                    font.bold: true
                }
            }

            IconButton {
                id: shareButton

                objectName: "shareButton"
                text: qsTr("Share")
                iconSource: "../icons/share.png"
                fill: "#FFFFFF"
                textColor: "#000000"
                boldText: true
                onClicked: shareOverlay.visible = true
            }
        }
    }

    // Covers the panel only: the control strip and the bars stay usable while it is open.
    Rectangle {
        id: shareOverlay

        property bool copied: false

        // Closed, the keyboard focus goes back to "Share".
        function close() {
            shareOverlay.visible = false;
            shareButton.forceActiveFocus(Qt.TabFocusReason);
        }

        objectName: "shareOverlay"
        anchors.fill: parent
        z: 200
        color: "#80000000"
        visible: false

        // Shown, it has the keyboard focus: Tab goes between its buttons, Escape closes it.
        onVisibleChanged: {
            if (visible)
                copyButton.forceActiveFocus(Qt.TabFocusReason);
        }
        Keys.onEscapePressed: shareOverlay.close()
        Accessible.role: Accessible.Dialog
        Accessible.name: qsTr("Share Channel")
        Accessible.description: qsTr("Share your listen link with your audience")
        Accessible.ignored: !visible

        MouseArea {
            anchors.fill: parent
            onClicked: shareOverlay.close()
        }

        Rectangle {
            anchors.centerIn: parent
            width: 400
            height: 200
            radius: 12
            color: "#FFFFFF"

            // Clicks on the card stay on the card.
            MouseArea {
                anchors.fill: parent
            }

            Column {
                anchors.centerIn: parent
                width: parent.width - 40
                spacing: 16

                Text {
                    anchors.horizontalCenter: parent.horizontalCenter
                    text: qsTr("Share Channel")
                    color: "#000000"
                    font.pixelSize: 16
                    font.bold: true
                }

                Text {
                    anchors.horizontalCenter: parent.horizontalCenter
                    text: qsTr("Share your listen link with your audience")
                    color: "#666666"
                    font.pixelSize: 12
                }

                Rectangle {
                    width: parent.width
                    height: 42
                    radius: 8
                    color: "#F5F5F5"
                    border.color: "#E0E0E0"
                    border.width: 1

                    RowLayout {
                        anchors.fill: parent
                        anchors.margins: 6
                        spacing: 8

                        RemoteText {
                            objectName: "listenLink"
                            Layout.fillWidth: true
                            leftPadding: 6
                            text: panel.listenLink
                            color: "#333333"
                            font.pixelSize: 13
                            elide: Text.ElideRight
                            verticalAlignment: Text.AlignVCenter
                        }

                        AppButton {
                            id: copyButton

                            objectName: "copyButton"
                            KeyNavigation.tab: closeButton
                            KeyNavigation.backtab: closeButton
                            Layout.preferredWidth: 70
                            Layout.preferredHeight: 30
                            text: shareOverlay.copied ? qsTr("Copied") : qsTr("Copy")
                            background: Rectangle {
                                radius: 6
                                color: shareOverlay.copied ? "#4CAF50"
                                                           : copyButton.pressed ? "#222222" : "#000000"
                            }
                            contentItem: Text {
                                text: copyButton.text
                                color: "#FFFFFF"
                                font.pixelSize: 12
                                font.bold: true
                                horizontalAlignment: Text.AlignHCenter
                                verticalAlignment: Text.AlignVCenter
                            }
                            onClicked: {
                                clipboardHelper.text = panel.listenLink;
                                clipboardHelper.selectAll();
                                clipboardHelper.copy();
                                shareOverlay.copied = true;
                                copiedTimer.restart();
                            }
                        }
                    }
                }

                AppButton {
                    id: closeButton

                    objectName: "shareCloseButton"
                    KeyNavigation.tab: copyButton
                    KeyNavigation.backtab: copyButton
                    anchors.horizontalCenter: parent.horizontalCenter
                    text: qsTr("Close")
                    background: Rectangle {
                        radius: 6
                        color: closeButton.pressed ? "#AA2222" : "#CC3333"
                    }
                    contentItem: Text {
                        text: closeButton.text
                        color: "#FFFFFF"
                        font.pixelSize: 13
                        font.bold: true
                        horizontalAlignment: Text.AlignHCenter
                        verticalAlignment: Text.AlignVCenter
                    }
                    onClicked: shareOverlay.close()
                }
            }
        }

        Timer {
            id: copiedTimer

            interval: 2000
            onTriggered: shareOverlay.copied = false
        }

        // QML has no clipboard of its own: an invisible text field puts the link there.
        TextEdit {
            id: clipboardHelper

            visible: false
            textFormat: TextEdit.PlainText
        }
    }
}
