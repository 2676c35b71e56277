// The harness's editor commands: opens a plug-in's editor in a window of the
// harness's own, plays audio through the plug-in on a thread of its own while
// the editor is open, drives the editor with mouse events at editor
// coordinates and pictures what it shows.
//
//   PluginInstance plugin;
//   plugin.Create(module);
//   plugin.Start(48000.0, 512);
//   EditorSession session(plugin);
//   if (!session.Open(error)) ...;
//   session.StartAudio(DemoSignal(48000.0), 48000.0, 512, false);
//   session.Pump(3000);
//   session.Mouse({MouseAction::Press, 120, 80});
//   session.WritePng("editor.png", error);
//   session.Close();
//
// Everything but the audio runs on the thread that made the session.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tools/host/host.h"
#include "tools/host/parent_window.h"

// One step of a scripted mouse sequence: an event, or a pause.
struct MouseStep {
    bool wait = false; // true: pump for waitMs instead of an event
    int waitMs = 0;
    MouseEvent event;
};

// Parses a mouse sequence: steps separated by ';', each an action, its
// position and modifiers, e.g.
//
//   "press 120,80; drag 120,60 shift; release 120,60; wheel 40,40,-2;
//    dblclick 30,30; rclick 10,10; move 5,5; leave; wait 200"
//
// Actions: press, drag, release, click, dblclick, wheel (x,y,notches), move,
// leave, wait MS; rpress, rdrag, rrelease, rclick, rdblclick use the right
// button. Modifiers: shift, ctrl, alt. False with a reason in error for
// anything else (nothing is half-parsed into steps).
bool ParseMouseSequence(const std::string& text, std::vector<MouseStep>& steps, std::string& error);

class EditorSession {
public:
    explicit EditorSession(PluginInstance& plugin);
    // Stops the audio, closes the editor and destroys the window.
    ~EditorSession();
    EditorSession(const EditorSession&) = delete;
    EditorSession& operator=(const EditorSession&) = delete;

    // Asks the plug-in for its editor's size, makes the window and opens the
    // editor in it (with openEditor false, the window only: the host's own
    // part of an open editor's cost). False with a reason when the plug-in has
    // no editor or the window or editor cannot be opened.
    bool Open(std::string& error, bool openEditor = true);
    // Editor-close opcode; the window stays for the next Open (its size
    // permitting) and goes with the session. Safe to call twice.
    void Close();
    bool IsOpen() const { return mOpen; }
    // Editor size the plug-in reported.
    int Width() const { return mWidth; }
    int Height() const { return mHeight; }

    // Handles window events for about milliseconds, with the editor-idle
    // call between rounds as hosts make it (unless idle is false: a host that
    // never idles its plug-ins' editors, whose own timers then run them).
    void Pump(int milliseconds, bool idle = true);
    // True once the user closed the window.
    bool UserClosed() const;
    // One event into the editor window; then 30 ms of events so the editor's
    // timer can catch up. False when no editor is open.
    bool Mouse(const MouseEvent& event);
    // Plays a parsed sequence; false when an event found no editor.
    bool Play(const std::vector<MouseStep>& steps);

    // What the editor window shows, 0xFFRRGGBB words, top row first.
    bool Capture(std::vector<uint32_t>& pixels, int& width, int& height);
    bool WritePng(const std::string& path, std::string& error);

    // Plays interleaved stereo through the plug-in's replacing entry in real
    // time, block by block, on an audio thread (looping when loop is set).
    void StartAudio(std::vector<float> stereo, double rate, int32_t blockSize, bool loop);
    void StopAudio();
    // Frames processed so far by the audio thread.
    int64_t FramesPlayed() const { return mFramesPlayed.load(); }
    bool AudioRunning() const { return mAudio.joinable() && !mAudioDone.load(); }
    // The audio thread's id (a default id when none runs).
    std::thread::id AudioThreadId() const { return mAudio.get_id(); }

    ParentWindow& Window() { return *mWindow; }

private:
    void AudioLoop(std::vector<float> stereo, double rate, int32_t blockSize, bool loop);

    PluginInstance& mPlugin;
    std::unique_ptr<ParentWindow> mWindow;
    bool mOpen = false;
    int mWidth = 0, mHeight = 0;
    int mFrameWidth = 0, mFrameHeight = 0; // size the window was made for
    std::thread mAudio;
    std::atomic<bool> mStopAudio{false};
    std::atomic<bool> mAudioDone{false};
    std::atomic<int64_t> mFramesPlayed{0};
};
