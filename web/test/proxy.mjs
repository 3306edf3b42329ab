// The public deployment of docs/deploy.md, for real: the program with its web port on
// loopback, the nginx site from that page (only its ports, certificate and paths changed)
// in front of it over TLS with a certificate made here, and headless Chromium loading the
// page over https://. The stream must arrive byte-exact through the proxy; a page on the
// server steers, a page from another address only watches (whatever it claims in
// X-Forwarded-For) and is told so in Japanese when its browser prefers it; a viewer past
// the cap is turned away with a reason the page shows; a page of another site is refused
// through nginx.
//
// Usage: node proxy.mjs --program PATH --recording PATH
// Exit status 77 when chromium, nginx or openssl is missing (scripts/test installs them).
import { spawn, spawnSync } from "node:child_process";
import fs from "node:fs";
import http from "node:http";
import https from "node:https";
import net from "node:net";
import os from "node:os";
import path from "node:path";
import { fileURLToPath } from "node:url";
import { exitWith, freePort, kChromium, launchChromium, missing, option, Program, readTtyrec,
         sleep, stopChild, until } from "./harness.mjs";

const kNginx = "/usr/sbin/nginx";
const kEndOfFile = "file: ファイル終端";
const kSourceDir = path.resolve(path.dirname(fileURLToPath(import.meta.url)), "../..");

function accepts(host, port) {
  return new Promise((resolve) => {
    const socket = net.connect(port, host, () => { socket.destroy(); resolve(true); });
    socket.on("error", () => resolve(false));
  });
}

// The recorded bytes of every frame of a ttyrec file, in order.
function recordedBytes(file) {
  return Buffer.concat(readTtyrec(file).map(([, , body]) => body));
}

// This machine's first address that is not loopback: a browser that comes from it is, to
// the proxy, a client from elsewhere.
function outsideAddress() {
  for (const addresses of Object.values(os.networkInterfaces())) {
    for (const address of addresses || []) {
      if (address.family === "IPv4" && !address.internal) return address.address;
    }
  }
  return null;
}

// The site as docs/deploy.md gives it, moved onto the test's ports, certificate and
// folder; every change must find what it changes, so a site rewritten in the docs is
// noticed here rather than tested half.
function siteFromDocs(ports, folder) {
  const docs = fs.readFileSync(path.join(kSourceDir, "docs/deploy.md"), "utf8");
  const block = docs.match(/```nginx\n([\s\S]*?)```/);
  if (!block) throw new Error("docs/deploy.md has no nginx site");
  let site = block[1];
  const change = (pattern, replacement) => {
    if (!pattern.test(site)) throw new Error("the site in docs/deploy.md has no " + pattern);
    site = site.replace(pattern, replacement);
  };
  change(/\b443\b/g, String(ports.https));
  change(/listen 80;/g, `listen ${ports.http};`);
  change(/listen \[::\]:80;/g, `listen [::1]:${ports.http};`);
  change(/\[::\]:/g, "[::1]:");
  change(/127\.0\.0\.1:8080/g, `127.0.0.1:${ports.web}`);
  change(/\/etc\/letsencrypt\/live\/[^;]*fullchain\.pem/g, path.join(folder, "cert.pem"));
  change(/\/etc\/letsencrypt\/live\/[^;]*privkey\.pem/g, path.join(folder, "key.pem"));
  return site;
}

// nginx on its own configuration, pid file, logs and temp folders; one process (no
// workers to switch users), stopped by its pid.
class Nginx {
  constructor(folder, site) {
    this.folder = folder;
    const temp = path.join(folder, "temp");
    fs.mkdirSync(temp);
    const config = path.join(folder, "nginx.conf");
    fs.writeFileSync(config, [
      "master_process off;",
      "worker_processes 1;",
      `pid ${path.join(folder, "nginx.pid")};`,
      `error_log ${path.join(folder, "error.log")} info;`,
      "events { worker_connections 128; }",
      "http {",
      `  access_log ${path.join(folder, "access.log")};`,
      ...["client_body", "proxy", "fastcgi", "uwsgi", "scgi"].map(
        (kind) => `  ${kind}_temp_path ${path.join(temp, kind)};`),
      site,
      "}",
      "",
    ].join("\n"));
    this.errors = "";
    this.child = spawn(kNginx, ["-p", folder + "/", "-c", config,
                                "-e", path.join(folder, "error.log"), "-g", "daemon off;"],
                       { stdio: ["ignore", "ignore", "pipe"] });
    this.child.stderr.on("data", (chunk) => (this.errors += chunk));
    this.exited = new Promise((resolve) => this.child.once("exit", resolve));
  }
  accessLog() {
    const file = path.join(this.folder, "access.log");
    return fs.existsSync(file) ? fs.readFileSync(file, "utf8") : "";
  }
  stop() {
    return stopChild(this.child, this.exited);
  }
}

// The first text the stream sends to a client that is no browser, with headers of its
// choosing; or the HTTP status when the request is refused.
function firstControl(host, port, headers) {
  return new Promise((resolve, reject) => {
    const request = https.request({
      host, port, path: "/ws", rejectUnauthorized: false,
      headers: { Connection: "Upgrade", Upgrade: "websocket", "Sec-WebSocket-Version": "13",
                 "Sec-WebSocket-Key": "dGhlIHNhbXBsZSBub25jZQ==", ...headers },
    });
    request.on("upgrade", (response, socket, head) => {
      let bytes = head;
      const look = () => {
        // An unmasked text frame of under 126 bytes: the control messages are short.
        if (bytes.length >= 2 && bytes.length >= 2 + (bytes[1] & 0x7f)) {
          socket.destroy();
          resolve(bytes.subarray(2, 2 + (bytes[1] & 0x7f)).toString("utf8"));
        }
      };
      socket.on("data", (chunk) => { bytes = Buffer.concat([bytes, chunk]); look(); });
      look();
    });
    request.on("response", (response) => resolve("HTTP " + response.statusCode));
    request.on("error", reject);
    request.end();
  });
}

// Everything a page's WebSocket brings: frames' bytes, control texts.
function watchStream(page) {
  const stream = { bytes: [], texts: [] };
  page.on("websocket", (socket) => {
    socket.on("framereceived", (frame) => {
      if (typeof frame.payload === "string") stream.texts.push(frame.payload);
      else stream.bytes.push(Buffer.from(frame.payload));
    });
  });
  return stream;
}

async function openPage(browser, url, locale, problems) {
  const context = await browser.newContext({ ignoreHTTPSErrors: true, locale,
                                             viewport: { width: 1000, height: 640 } });
  const page = await context.newPage();
  page.on("pageerror", (error) => problems.push(String(error)));
  const stream = watchStream(page);
  await page.goto(url);
  return { page, stream };
}

const text = (page, selector) => page.textContent(selector);
const visible = (page, selector) => page.isVisible(selector);

async function main() {
  const binary = option("--program");
  const recording = option("--recording");
  if (!binary || !recording) throw new Error("usage: proxy.mjs --program P --recording R");
  const absent = missing(["openssl"], [kChromium, kNginx]);
  if (absent) {
    console.log(`SKIP: ${absent} is not installed`);
    return 77;
  }

  const folder = fs.mkdtempSync(path.join(os.tmpdir(), "ombrix-proxy-"));
  const runtime = path.join(folder, "runtime");
  fs.mkdirSync(runtime, { mode: 0o700 });
  const made = spawnSync("openssl", [
    "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1", "-subj", "/CN=localhost",
    "-addext", "subjectAltName=DNS:localhost,IP:127.0.0.1",
    "-keyout", path.join(folder, "key.pem"), "-out", path.join(folder, "cert.pem")],
    { encoding: "utf8" });
  if (made.status !== 0) throw new Error("openssl: " + made.stderr);

  const ports = { telnet: await freePort(), web: await freePort(), https: await freePort(),
                  http: await freePort(), other: await freePort() };
  const outside = outsideAddress();
  const origins = ["--web-origin", `localhost:${ports.https}`];
  if (outside) origins.push("--web-origin", `${outside}:${ports.https}`);
  const program = new Program(binary, [
    "--port", String(ports.telnet), "--web-port", String(ports.web), "--web-bind", "127.0.0.1",
    "--trusted-proxy", "127.0.0.1", "--control", "local",
    "--max-viewers", outside ? "2" : "1", ...origins, recording], runtime);
  let nginx = null;
  let browser = null;
  let otherSite = null;
  try {
    await program.waitForLine(`web: http://127.0.0.1:${ports.web}/`);
    if (outside && await accepts(outside, ports.web)) {
      throw new Error("the web port answers on " + outside + " despite --web-bind 127.0.0.1");
    }
    nginx = new Nginx(folder, siteFromDocs(ports, folder));
    await until(`nginx to listen (${nginx.errors})`, () => accepts("127.0.0.1", ports.https));

    browser = await launchChromium();
    const problems = [];

    // The operator's own page, through the proxy from this machine: it steers.
    const own = await openPage(browser, `https://localhost:${ports.https}/`, "en-US", problems);
    await until("the page to connect", async () => (await text(own.page, "#state")) === "connected");
    // Chromium reaches nginx at localhost over IPv4 or IPv6: either is this machine.
    const ownAddress = await until("the panel to name a loopback viewer", () =>
      ["127.0.0.1", "::1"].find((address) => program.lines().includes(`connection: ${address},1`)));
    // The page counts as connected once its socket opens; the first text may still be on
    // its way through Chromium's events.
    const firstText = await until("the first control text", () => own.stream.texts[0]);
    if (!firstText.includes('"control":true')) {
      throw new Error("the first control text was " + firstText);
    }
    if (!(await visible(own.page, "button[data-key=f]")) || (await visible(own.page, "#mode"))) {
      throw new Error("a page that may steer must show its buttons and no watching-only mark");
    }
    await until("the page to count one viewer",
                async () => (await text(own.page, "#viewers")) === "1 watching");

    if (outside) {
      // From elsewhere, whatever the client claims: nginx appends the address it saw.
      const claimed = await firstControl(outside, ports.https, { "X-Forwarded-For": "127.0.0.1" });
      if (!claimed.includes('"control":false')) {
        throw new Error("a claimed loopback address through the proxy was believed: " + claimed);
      }
      await until("the claiming client to come and go", () => {
        const lines = program.lines();
        const joined = lines.lastIndexOf(`connection: ${ownAddress},2`);
        return joined >= 0 && lines.lastIndexOf(`connection: ${ownAddress},1`) > joined;
      });
      const other = await openPage(browser, `https://${outside}:${ports.https}/`, "ja-JP", problems);
      await until("the Japanese page to connect",
                  async () => (await text(other.page, "#state")) === "接続済み");
      await program.waitForLine(`connection: ${ownAddress},2`);
      if ((await visible(other.page, "#controls")) || (await text(other.page, "#mode")) !== "視聴のみ" ||
          !(await visible(other.page, "#mode"))) {
        throw new Error("a page from elsewhere must show no buttons and say it only watches");
      }
      await until("both pages to count two viewers", async () =>
        (await text(other.page, "#viewers")) === "2 人が視聴中" &&
        (await text(own.page, "#viewers")) === "2 watching");
      // What it types goes nowhere.
      const speedLines = () => program.lines().filter((line) => line.startsWith("speed: ")).length;
      const before = speedLines();
      await other.page.click(".xterm");
      await other.page.keyboard.type("ff");
      await sleep(300);
      if (speedLines() !== before) {
        throw new Error("keys from a page that only watches changed the speed");
      }
      own.other = other;
    }

    // One more is past the cap: its page says so, and the others go on.
    const late = await openPage(browser, `https://localhost:${ports.https}/`, "en-US", problems);
    await until("the turned-away page to say why", async () =>
      ((await text(late.page, "#notice")) || "").startsWith("As many are watching as this server takes"));
    await late.page.context().close();

    for (let i = 0; i < 7; ++i) await own.page.click("button[data-key=f]");
    await program.waitForLine("speed: 100");
    await program.waitForLine(kEndOfFile);
    const expected = recordedBytes(recording);
    const pages = own.other ? [own, own.other] : [own];
    for (const viewer of pages) {
      await until("every byte through the proxy",
                  () => Buffer.concat(viewer.stream.bytes).length >= expected.length, 5000);
      if (!Buffer.concat(viewer.stream.bytes).equals(expected)) {
        throw new Error("the stream through the proxy differs from the recording");
      }
    }

    // A page of another site is refused by the program, through the proxy as without it.
    otherSite = http.createServer((request, response) => {
      response.writeHead(200, { "Content-Type": "text/html" });
      response.end("<!DOCTYPE html><title>elsewhere</title>");
    });
    await new Promise((resolve) => otherSite.listen(ports.other, "127.0.0.1", resolve));
    const foreign = await own.page.context().newPage();
    await foreign.goto(`http://127.0.0.1:${ports.other}/`);
    const outcome = await foreign.evaluate((url) => new Promise((resolve) => {
      const socket = new WebSocket(url);
      socket.onopen = () => resolve("open");
      socket.onclose = () => resolve("closed");
    }), `wss://localhost:${ports.https}/ws`);
    if (outcome !== "closed" || !/"GET \/ws HTTP\/1\.1" 403 /.test(nginx.accessLog())) {
      throw new Error(`a page of another site was not refused (${outcome})`);
    }
    if (problems.length > 0) throw new Error("the pages reported: " + problems.join("; "));
    console.log(`PASS: ${expected.length} bytes through nginx over TLS to ${pages.length} ` +
                `page(s); control by address${outside ? " (from " + outside + ": watching only)" : ""}; ` +
                "the cap and a foreign origin refused");
    return 0;
  } finally {
    if (browser) await browser.close();
    if (otherSite) otherSite.close();
    if (nginx) await nginx.stop();
    await program.stop();
    fs.rmSync(folder, { recursive: true, force: true });
  }
}

exitWith(main);
