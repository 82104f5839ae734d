// Asks the setup's native host to confirm the setup when the extension is
// installed, on every browser start and on a click, and shows on the action
// whether that worked. The ask is a port that stays open: the host answers at
// once, then waits on the setup's folder and answers again when a new setup
// is recorded, so a setup run again while the browser is open is confirmed
// with no click. Nothing polls: the worker, kept alive by the open port, and
// the host both sleep until something happens. The host may not be
// registered yet when the browser starts (the setup is still running), so an
// ask that fails is tried again after a growing pause.
"use strict";

const HOST = "com.vorn.preview_setup";
const VERSION = chrome.runtime.getManifest().version;
// Seconds before each further ask; about four minutes in all.
const PAUSES = [0.25, 0.5, 1, 2, 4, 8, 16, 25, 25, 25, 25, 25, 25, 25, 25, 25];
// A host that hangs must not stop the asking: without a first answer within
// this many seconds the port is closed, which ends that host.
const ANSWER_SECONDS = 10;
// The browser lets a host whose port closed two seconds to exit before it
// kills it; the next ask waits longer, so no two hosts of ours are alive.
const ENDING_SECONDS = 3;

let port = null;        // the one host of ours, at most
let answered = false;   // whether that host has answered yet
let next = null;        // the timer of the pause before the next ask
let attempt = 0;        // asks since the last install, start or click
let confirmed = false;  // what the last answer said

console.log("vorn: the worker started");

function show(badge, colour, title) {
  chrome.action.setBadgeText({text: badge});
  if (colour) chrome.action.setBadgeBackgroundColor({color: colour});
  chrome.action.setTitle({title: "Vorn Preview: " + title});
}

function notConnected(error) {
  show("!", "#b91c1c", `the setup is not connected (${error}). Click to try again.`);
}

// The port is gone without a host to listen to: ask again after a pause.
function lost(error, atLeast) {
  console.log(`vorn: no confirmation yet: ${error}`);
  if (attempt > PAUSES.length) {
    if (!confirmed) notConnected(error);
    return;
  }
  const seconds = Math.max(PAUSES[attempt - 1], atLeast);
  next = setTimeout(() => { next = null; ask("again"); }, seconds * 1000);
}

function ask(why) {
  if (port || next) return;  // never a second ask while one is under way
  attempt++;
  console.log(`vorn: asking ${HOST} to confirm the setup (${why}, attempt ${attempt})`);
  if (!confirmed) show("\u2026", "#6b7280", "connecting to the setup\u2026");
  const asked = chrome.runtime.connectNative(HOST);
  port = asked;
  answered = false;
  const limit = setTimeout(() => {
    if (port !== asked || answered) return;
    port = null;
    asked.disconnect();
    lost(`no answer within ${ANSWER_SECONDS} s`, ENDING_SECONDS);
  }, ANSWER_SECONDS * 1000);
  asked.onMessage.addListener((reply) => {
    if (port !== asked) return;
    answered = true;
    clearTimeout(limit);
    if (reply && reply.confirmed === true) {
      confirmed = true;
      console.log(`vorn: the setup is confirmed (version ${VERSION})`);
      show("\u2713", "#15803d", "the setup is connected");
    } else {
      confirmed = false;
      const error = (reply && typeof reply.error === "string") ? reply.error : "the host refused";
      console.log(`vorn: no confirmation yet: ${error}`);
      notConnected(error);
    }
  });
  asked.onDisconnect.addListener(() => {
    clearTimeout(limit);
    const error = (chrome.runtime.lastError && chrome.runtime.lastError.message) || "the host ended";
    if (port !== asked) return;
    port = null;
    lost(error, 0);
  });
  asked.postMessage({request: "confirm", version: VERSION, watch: true});
}

// A fresh round of asks. A host that is listening is let go first; one that
// has not answered yet is waited for.
function askAfresh(why) {
  if (port && !answered) return;
  attempt = 0;
  if (next) {
    clearTimeout(next);
    next = null;
  }
  if (!port) {
    ask(why);
    return;
  }
  const old = port;
  port = null;
  old.disconnect();
  next = setTimeout(() => { next = null; ask(why); }, ENDING_SECONDS * 1000);
}

chrome.runtime.onInstalled.addListener((details) => { askAfresh(details.reason); });
chrome.runtime.onStartup.addListener(() => { askAfresh("browser start"); });
chrome.action.onClicked.addListener(() => { askAfresh("clicked"); });
