// Asks the setup's native host to confirm the setup, once when the extension
// is installed and once on every browser start, and shows on the action
// whether that worked. The host may not be registered yet when the browser
// starts (the setup is still running), so a failed ask is tried again after a
// growing pause. Each ask is an extension call, which keeps the worker alive
// through the pauses; they stay below the worker's 30 s idle limit.
"use strict";

const HOST = "com.vorn.preview_setup";
const VERSION = chrome.runtime.getManifest().version;
// Seconds before each further ask; about four minutes in all.
const PAUSES = [0.25, 0.5, 1, 2, 4, 8, 16, 25, 25, 25, 25, 25, 25, 25, 25, 25];

let asking = null;  // the round of asks under way, shared by events that come together

function show(badge, colour, title) {
  chrome.action.setBadgeText({text: badge});
  if (colour) chrome.action.setBadgeBackgroundColor({color: colour});
  chrome.action.setTitle({title: "Vorn Preview: " + title});
}

// A host that hangs must not stop the asking: an ask without an answer within
// this many seconds counts as failed (a late answer is then ignored).
const ANSWER_SECONDS = 10;

function askOnce() {
  return new Promise((resolve) => {
    setTimeout(() => resolve({confirmed: false, error: `no answer within ${ANSWER_SECONDS} s`}),
               ANSWER_SECONDS * 1000);
    chrome.runtime.sendNativeMessage(HOST, {request: "confirm", version: VERSION}, (reply) => {
      if (chrome.runtime.lastError) {
        resolve({confirmed: false, error: chrome.runtime.lastError.message || "the host did not answer"});
      } else if (reply && reply.confirmed === true) {
        resolve({confirmed: true});
      } else {
        resolve({confirmed: false, error: (reply && typeof reply.error === "string") ? reply.error : "the host refused"});
      }
    });
  });
}

const pause = (seconds) => new Promise((resolve) => setTimeout(resolve, seconds * 1000));

async function confirmSetup(why) {
  show("\u2026", "#6b7280", "connecting to the setup\u2026");
  let error = "";
  for (let attempt = 0; attempt <= PAUSES.length; attempt++) {
    console.log(`vorn: asking ${HOST} to confirm the setup (${why}, attempt ${attempt + 1})`);
    const answer = await askOnce();
    if (answer.confirmed) {
      console.log(`vorn: the setup is confirmed (version ${VERSION})`);
      show("\u2713", "#15803d", "the setup is connected");
      return true;
    }
    error = answer.error;
    console.log(`vorn: no confirmation yet: ${error}`);
    if (attempt < PAUSES.length) await pause(PAUSES[attempt]);
  }
  show("!", "#b91c1c", `the setup is not connected (${error}). Click to try again.`);
  return false;
}

function confirmOnce(why) {
  if (!asking) asking = confirmSetup(why).finally(() => { asking = null; });
  return asking;
}

chrome.runtime.onInstalled.addListener((details) => { confirmOnce(details.reason); });
chrome.runtime.onStartup.addListener(() => { confirmOnce("browser start"); });
chrome.action.onClicked.addListener(() => { confirmOnce("clicked"); });
