// The launch pad: its tab comes after "#" in the address.
"use strict";

const $ = (id) => document.getElementById(id);
const tabs = ["home", "links", "notices", "recyclebin"];

function parse(text) {
  try { return JSON.parse(text); } catch (e) { return null; }
}

function item(text, button, action) {
  const li = document.createElement("li");
  const span = document.createElement("span");
  span.textContent = text;
  li.appendChild(span);
  if (button) {
    const b = document.createElement("button");
    b.textContent = button;
    b.addEventListener("click", action);
    li.appendChild(b);
  }
  return li;
}

function showTab() {
  const tab = tabs.includes(location.hash.slice(1)) ? location.hash.slice(1) : "home";
  for (const t of tabs) $(t).classList.toggle("hidden", t !== tab);
  for (const a of document.querySelectorAll("nav a")) a.classList.toggle("on", a.dataset.tab === tab);
}

async function showAccount() {
  const info = parse(await qvClient.gUserInfo()) || {};
  $("who").textContent = info.username || info.email || "Quorva";
}

// Called by the application when the linked folders changed.
window.gUpdateLinkPaths = async function () {
  const links = parse(await qvClient.gGetLinkPaths()) || {};
  const list = $("linklist");
  list.textContent = "";
  for (const link of links.list || []) {
    list.appendChild(item(link.fullpath + "  ⇄  " + link.webpath, "取消关联", async () => {
      await qvClient.gRemoveLinkPaths(JSON.stringify({ list: [{ webpath: link.webpath }] }));
      window.gUpdateLinkPaths();
    }));
  }
  if (!list.firstChild) list.appendChild(item("还没有关联的文件夹"));
};

async function showMessages() {
  const messages = parse(await qvClient.gGetMessage()) || [];
  const list = $("messages");
  list.textContent = "";
  for (const m of Array.isArray(messages) ? messages : []) {
    list.appendChild(item((m.member_name ? m.member_name + "：" : "") + (m.render_text || "")));
  }
  if (!list.firstChild) list.appendChild(item("没有新消息"));
}

for (const b of document.querySelectorAll("button[data-call]")) {
  b.addEventListener("click", () => {
    const arg = b.dataset.arg;
    if (arg === undefined) qvClient[b.dataset.call]();
    else qvClient[b.dataset.call](arg);
  });
}
$("addlink").addEventListener("click", () => qvClient.gChildMain(JSON.stringify({ url: "default/chs/mklink.html",
                                                                                  width: 480, height: 300 })));
$("openbin").addEventListener("click", () => qvClient.gOpenUrl(JSON.stringify({ url: "/recyclebin", sso: 1 })));

window.addEventListener("hashchange", showTab);
showTab();
showAccount();
window.gUpdateLinkPaths();
showMessages();
