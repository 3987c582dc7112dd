// Walks through the web administration interface of a running server in headless Chromium,
// as an administrator would: super admin login, a new account, the welcome message, stopping
// and starting the virtual server (commands are forms that post the session's token), a name
// with markup in it, logout. Starts nothing but the browser; the caller runs the server and
// checks the database afterwards.
//
//   node admin_walkthrough.mjs --url=http://127.0.0.1:PORT --user=NAME --password=PW \
//        --out=DIR [--chromium=/usr/bin/chromium] [--fingerprint=AB:CD:...]
//        [--voiceready=FILE --voicenick=NAME]
//
// With an https:// URL the server's certificate must have the SHA-256 fingerprint given
// (the one the server logged); the browser then accepts it though nobody signed it, and the
// walk checks that the session cookie is Secure and the pages send Strict-Transport-Security.
// With --voiceready the live page is opened, FILE is written, and the voice client the caller
// then logs in as NAME must appear within 3 s, be moved to another channel and kicked.
//
// Prints one line per step; the last line is "walkthrough passed" or the exit code is 1 with
// a "FAIL:" line. Screenshots of the main pages go to DIR.
import { chromium } from 'playwright-core';
import { connect } from 'node:tls';
import { mkdtempSync, mkdirSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';

const args = Object.fromEntries(
  process.argv.slice(2).map((a) => {
    const eq = a.indexOf('=');
    return [a.slice(2, eq), a.slice(eq + 1)];
  }),
);
for (const name of ['url', 'user', 'password', 'out']) {
  if (!args[name]) {
    console.error(`FAIL: missing --${name}=`);
    process.exit(2);
  }
}
const base = new URL(args.url);
if (base.hostname !== '127.0.0.1') {
  console.error('FAIL: the interface must be on 127.0.0.1');
  process.exit(2);
}
mkdirSync(args.out, { recursive: true });
const https = base.protocol === 'https:';
if (https) {
  // The certificate is self-signed: it is trusted only because it is the one the server logged.
  const seen = await new Promise((resolve, reject) => {
    const socket = connect({ host: base.hostname, port: Number(base.port), rejectUnauthorized: false },
                           () => {
                             resolve(socket.getPeerCertificate().fingerprint256);
                             socket.end();
                           });
    socket.on('error', reject);
  });
  if (!args.fingerprint || seen !== args.fingerprint) {
    console.error(`FAIL: the server's certificate has the fingerprint ${seen}, not ${args.fingerprint}`);
    process.exit(1);
  }
  console.log('ok certificate fingerprint');
}

// Names the checks below look for.
const account = 'walker';
const welcome = args.welcome || `Welcome from the browser ${process.pid}`;
const hostile = '<script>alert(1)</script>';

let step = '';
function check(condition, what) {
  if (!condition) throw new Error(`${step}: ${what}`);
}

const profile = mkdtempSync(join(tmpdir(), 'vh-chromium-'));
let context;
try {
  context = await chromium.launchPersistentContext(profile, {
    executablePath: args.chromium || '/usr/bin/chromium',
    headless: true,
    ignoreHTTPSErrors: https,
    viewport: { width: 1100, height: 760 },
    args: [
      '--headless',
      '--no-sandbox',
      '--disable-gpu',
      '--disable-background-networking',
      '--disable-component-update',
      '--disable-sync',
      '--no-first-run',
      '--no-default-browser-check',
      '--no-proxy-server',
      '--dns-prefetch-disable',
      // Every host name resolves to nothing: the browser can reach 127.0.0.1 only.
      '--host-resolver-rules=MAP * ~NOTFOUND, EXCLUDE 127.0.0.1',
    ],
  });
  // A second fence: any request for another host is aborted and fails the run.
  const strayRequests = [];
  await context.route('**/*', (route) => {
    const url = new URL(route.request().url());
    if (url.hostname === '127.0.0.1' || url.protocol === 'data:') return route.continue();
    strayRequests.push(url.href);
    return route.abort();
  });
  const dialogs = [];
  const page = context.pages()[0] || (await context.newPage());
  let acceptPrompt = null;  // the live page's kick asks for a reason
  page.on('dialog', async (d) => {
    dialogs.push(d.message());
    if (acceptPrompt !== null) return d.accept(acceptPrompt);
    await d.dismiss();
  });
  const at = (path) => new URL(path, base).href;
  const shot = async (name) => page.screenshot({ path: join(args.out, `${name}.png`), fullPage: true });
  const bodyText = () => page.locator('body').innerText();
  const pathIs = (name) => new URL(page.url()).pathname === `/${name}`;
  // Submits the form that holds `field` and waits for the page it lands on.
  const submit = async (field) => {
    const form = page.locator('form', { has: page.locator(`[name="${field}"]`) });
    await Promise.all([page.waitForNavigation(), form.locator('button[type=submit]').click()]);
  };
  const log = (line) => console.log(`ok ${line}`);

  step = 'login page';
  await page.goto(at('/'));
  check((await page.locator('form[action="login.vhcmd"]').count()) === 1, 'no login form on /');
  await shot('login');
  await Promise.all([page.waitForNavigation(), page.click('a[href="slogin.html"]')]);
  check(pathIs('slogin.html'), `landed on ${page.url()}`);
  log(step);

  step = 'super admin login';
  await page.fill('#username', args.user);
  await page.fill('#password', 'wrong-password');
  await submit('username');
  check(pathIs('login_error.html'), `a wrong password landed on ${page.url()}`);
  await page.goto(at('/slogin.html'));
  await page.fill('#username', args.user);
  await page.fill('#password', args.password);
  await submit('username');
  check(pathIs('index.html'), `landed on ${page.url()}`);
  check((await bodyText()).includes('Virtual servers'), 'no server list on the main page');
  if (https) {
    const session = (await context.cookies()).find((c) => c.name === 'VHSESSION');
    check(session && session.secure && session.httpOnly, 'the session cookie is not Secure');
    const again = await page.goto(at('/index.html'));
    check(/max-age=\d+/.test(again.headers()['strict-transport-security'] || ''),
          'no Strict-Transport-Security header');
  }
  // Commands are small forms that post the session's token; a command by GET is refused.
  await Promise.all([page.waitForNavigation(),
                     page.locator('form[action="select_server.vhcmd"] button').first().click()]);
  check(pathIs('index.html'), `select landed on ${page.url()}`);
  check((await page.locator('form[action="ask_stop_server.vhcmd"]').count()) > 0, 'no stop button');
  check((await page.locator('form[action="ask_stop_server.vhcmd"] input[name="vhtoken"]').count()) > 0,
        'the stop form carries no token');
  const byGet = await page.goto(at('/stop_server.vhcmd?serverid=1'));
  check(byGet.status() === 403, `a command by GET answered ${byGet.status()}`);
  await page.goto(at('/index.html'));
  await shot('main');
  log(step);

  step = 'create an account';
  await page.goto(at('/database_client_manager.html'));
  await page.fill('[name=CLIENTLOGINNAME]', account);
  await page.fill('[name=CLIENTPW1]', 'walkpw');
  await page.fill('[name=CLIENTPW2]', 'walkpw');
  await submit('CLIENTLOGINNAME');
  check(pathIs('ok_box.html'), `landed on ${page.url()}`);
  await page.goto(at('/database_client_manager.html'));
  check((await page.locator('td', { hasText: new RegExp(`^${account}$`) }).count()) === 1,
        'the new account is not listed');
  await shot('accounts');
  log(step);

  step = 'change the welcome message';
  await page.goto(at('/server_settings.html'));
  await page.fill('[name=SERVERWELCOMEMESSAGE]', welcome);
  await submit('SERVERWELCOMEMESSAGE');
  check(pathIs('ok_box.html'), `landed on ${page.url()}`);
  await page.goto(at('/server_settings.html'));
  check((await page.inputValue('[name=SERVERWELCOMEMESSAGE]')) === welcome,
        'the settings form does not show the new message');
  await shot('settings');
  await page.goto(at('/index.html'));
  check((await bodyText()).includes(welcome), 'the main page does not show the new message');
  log(step);

  step = 'stop and start the server';
  await page.goto(at('/server_manager.html'));
  // Stopping asks first, naming the server and its players; cancelling leaves it running.
  await Promise.all([page.waitForNavigation(),
                     page.locator('form[action="ask_stop_server.vhcmd"] button').click()]);
  check(pathIs('choice_box.html'), `stop did not ask: ${page.url()}`);
  check(/Stop server ".*" \(id 1\) with \d+ players? online\?/.test(await bodyText()),
        `the question does not name the server and its players: ${await bodyText()}`);
  await shot('stop-confirmation');
  await Promise.all([page.waitForNavigation(), page.click('a:has-text("cancel")')]);
  await page.goto(at('/server_manager.html'));
  check((await page.locator('form[action="ask_stop_server.vhcmd"]').count()) === 1,
        'cancelling stopped the server');
  await Promise.all([page.waitForNavigation(),
                     page.locator('form[action="ask_stop_server.vhcmd"] button').click()]);
  await Promise.all([page.waitForNavigation(), page.locator('#yes button').click()]);
  check((await bodyText()).toLowerCase().includes('stopped'), `stop answered ${page.url()}`);
  await page.goto(at('/server_manager.html'));
  check((await page.locator('form[action="start_server.vhcmd"]').count()) === 1,
        'the stopped server has no start button');
  await shot('servers-stopped');
  await Promise.all([page.waitForNavigation(),
                     page.locator('form[action="start_server.vhcmd"] button').click()]);
  check((await bodyText()).toLowerCase().includes('started'), `start answered ${page.url()}`);
  await page.goto(at('/server_manager.html'));
  check((await page.locator('form[action="ask_stop_server.vhcmd"]').count()) === 1,
        'the started server has no stop button');
  await shot('servers');
  log(step);

  step = 'a name with markup is shown as text';
  await page.goto(at('/database_client_manager.html'));
  await page.fill('[name=CLIENTLOGINNAME]', hostile);
  await page.fill('[name=CLIENTPW1]', 'x');
  await page.fill('[name=CLIENTPW2]', 'x');
  await submit('CLIENTLOGINNAME');
  check(pathIs('ok_box.html'), `landed on ${page.url()}`);
  await page.goto(at('/database_client_manager.html'));
  check((await page.locator('td', { hasText: hostile }).count()) === 1,
        'the name is not shown as text');
  check((await page.locator('main script').count()) === 0, 'a script element was injected');
  // The edit link and the delete form carry the name too; following them runs nothing either.
  const editLink = await page.locator('tr', { hasText: hostile })
    .locator('a[href^="edit_client.html"]').getAttribute('href');
  check(editLink.endsWith('client=%3Cscript%3Ealert%281%29%3C%2Fscript%3E'),
        `the edit link does not encode the name: ${editLink}`);
  await Promise.all([
    page.waitForNavigation(),
    page.locator('tr', { hasText: hostile })
      .locator('form[action="ask_delete_client.vhcmd"] button').click(),
  ]);
  check((await bodyText()).includes(hostile), 'the delete question does not name the account');
  await shot('markup-name');
  check(dialogs.length === 0, `a dialog opened: ${dialogs.join(', ')}`);
  log(step);

  if (args.voiceready) {
    step = 'live page: a voice client appears, is moved, made channel admin, kicked from the channel and kicked';
    await page.goto(at('/live.html'));
    // The caller's voice client logs in once this file exists.
    writeFileSync(args.voiceready, 'open\n');
    const player = page.locator('li.player', { hasText: args.voicenick });
    const seenAt = Date.now();
    await player.waitFor({ timeout: 3000 });
    log(`player shown after ${Date.now() - seenAt} ms`);
    const target = await player.locator('select.move option').nth(1);
    const channelName = await target.textContent();
    await player.locator('select.move').selectOption(await target.getAttribute('value'));
    await page.locator('#status', { hasText: 'move: OK' }).waitFor({ timeout: 5000 });
    await page.locator('li', { hasText: channelName }).locator('li.player', { hasText: args.voicenick })
      .waitFor({ timeout: 5000 });
    await player.locator('select.channelprivilege').selectOption('channelAdmin');
    await page.locator('#status', { hasText: 'channel-privilege: OK' }).waitFor({ timeout: 5000 });
    await player.locator('.facts', { hasText: 'channel admin' }).waitFor({ timeout: 5000 });
    for (const [width, height, name] of [[1100, 760, 'live-desktop'], [390, 844, 'live-phone']]) {
      await page.setViewportSize({ width, height });
      await shot(name);
    }
    await page.setViewportSize({ width: 1100, height: 760 });
    // Traffic reaches the charts once two 5-second samples exist.
    await page.waitForFunction(() => [...document.querySelectorAll('#charts polyline')]
      .some((l) => Number(l.dataset.max) > 0), null, { timeout: 20000 });
    for (const [width, height, name] of [[1100, 760, 'charts-desktop'], [390, 844, 'charts-phone']]) {
      await page.setViewportSize({ width, height });
      await page.locator('#charts').scrollIntoViewIfNeeded();
      await page.screenshot({ path: join(args.out, `${name}.png`) });
    }
    await page.setViewportSize({ width: 1100, height: 760 });
    acceptPrompt = 'walkthrough channel kick';
    await player.locator('button.channelkick').click();
    await page.locator('#status', { hasText: 'kick-from-channel: OK' }).waitFor({ timeout: 5000 });
    await player.locator('.facts', { hasText: 'channel admin' })
      .waitFor({ state: 'detached', timeout: 5000 });
    acceptPrompt = 'walkthrough kick';
    await player.locator('button.kick').click();
    await page.locator('#status', { hasText: 'kick: OK' }).waitFor({ timeout: 5000 });
    await player.waitFor({ state: 'detached', timeout: 5000 });
    acceptPrompt = null;
    dialogs.length = 0;
    log(step);
  }

  step = 'log out';
  await page.goto(at('/index.html'));
  await Promise.all([page.waitForNavigation(),
                     page.locator('form[action="logout.vhcmd"] button').click()]);
  check((await page.locator('form[action="login.vhcmd"]').count()) === 1, 'no login form');
  await page.goto(at('/server_manager.html'));
  check((await page.locator('form[action="login.vhcmd"]').count()) === 1,
        'a page is served after the logout');
  log(step);

  check(strayRequests.length === 0, `requests for other hosts: ${strayRequests.join(', ')}`);
  console.log('walkthrough passed');
} catch (e) {
  console.error(`FAIL: ${e.message}`);
  process.exitCode = 1;
} finally {
  if (context) await context.close();
  rmSync(profile, { recursive: true, force: true });
}
