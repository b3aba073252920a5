// The login page: the sign-in, then the folder step. Every qvClient call
// answers with a promise; the outcome of a sign-in arrives through
// gLoginResult, which the application calls.
"use strict";

const $ = (id) => document.getElementById(id);
const state = { lastPath: null, chosen: false, nodesChosen: false };

function say(text) { $("message").textContent = text || ""; }

function busy(on) {
  for (const id of ["login", "weblogin", "change", "select", "start"]) $(id).disabled = on;
}

async function showFolderStep() {
  $("signin").classList.add("hidden");
  $("folder").classList.remove("hidden");
  say("");
  state.lastPath = await qvClient.gCheckLastPath();
  if (state.lastPath) {
    $("lastchoice").classList.remove("hidden");
    $("path").textContent = state.lastPath;
  } else {
    $("path").textContent = await qvClient.gNormalPath();
  }
}

// The application's answer to a sign-in: {"type", "error", "message"}.
window.gLoginResult = function (text) {
  busy(false);
  let result;
  try { result = JSON.parse(text); } catch (e) { return; }
  if (result.error === 0) {
    showFolderStep();
  } else {
    say(result.message);
  }
};

$("signin").addEventListener("submit", async (event) => {
  event.preventDefault();
  const username = $("username").value.trim();
  const password = $("password").value;
  if (!username || !password) { say("请输入帐号和密码"); return; }
  say("");
  busy(true);
  const ok = await qvClient.gLogin(JSON.stringify({ username, password }));
  if (!ok) busy(false);
});

$("weblogin").addEventListener("click", async () => {
  const key = await qvClient.gOAuthKey();
  const site = (await qvClient.gSiteDomain()).replace(/^https?:\/\//, "");
  await qvClient.gMain(JSON.stringify({ url: site + "/account/weblogin?key=" + encodeURIComponent(key),
                                        width: 420, height: 360 }));
});

$("change").addEventListener("click", async () => {
  const path = await qvClient.gBindPath();
  if (path) {
    state.chosen = true;
    $("uselast").checked = false;
    $("path").textContent = path;
  }
});

$("uselast").addEventListener("change", async () => {
  $("path").textContent = $("uselast").checked ? state.lastPath : await qvClient.gNormalPath();
});

$("select").addEventListener("click", async () => {
  await qvClient.gSelectSyncPath("{}");
  state.nodesChosen = true;
});

$("start").addEventListener("click", async () => {
  // 0: the folder of the last sign-in; 2: the folder chosen here, or the
  // default one when none was chosen.
  const path = state.lastPath && $("uselast").checked ? 0 : 2;
  busy(true);
  await qvClient.gStart(JSON.stringify({ path, syncnode: state.nodesChosen, overwrite: $("overwrite").checked }));
});
