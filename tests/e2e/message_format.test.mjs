// The example page's own handling of the agent message format, in the
// browser without an agent: the requests its buttons build, byte for byte,
// and how it shows a reply field by field.

import assert from 'node:assert/strict';
import { after, before, test } from 'node:test';

import { launchBrowser, paths, shown } from './harness.mjs';
import { pathToFileURL } from 'node:url';

let browser;
let page;
const pageErrors = [];

before(async () => {
  browser = await launchBrowser();
  page = await browser.newPage();
  page.on('pageerror', (err) => pageErrors.push(String(err)));
  await page.goto(pathToFileURL(paths.page).href);
});

after(async () => {
  await browser?.close();
});

const FS = '\x1c';
const x = (n) => 'x'.repeat(n);

test('requests carry the right length fields', async () => {
  // [builder call, expected request]. Lengths count UTF-8 bytes, the form
  // in which the agent receives the request.
  const cases = [
    ['payment("D1", "0000001000")', '0024VEVU00000012D10000001000'],
    ['payment("D1", "23")', '0016VEVU00000004D123'],
    ['payment("***", "VER")', '0018VEVU00000006***VER'],
    ['payment("D1", "가")', '0017VEVU00000005D1가'],
    ['command("LAST")', '0016VEVU00000004LAST'],
    ['command("STOP")', '0016VEVU00000004STOP'],
    ['command("RRUN")', '0016VEVU00000004RRUN'],
    ['signature("ABCD", "Signdata.bmp")', `0035VEVU00000023SBMPABCD${FS}4${FS}Signdata.bmp`],
    ['print("영수증")', '0025VEVU00000013PRNT영수증'],
    ['print("")', '0016VEVU00000004PRNT'],
    // The widest four-digit forms, and the five-digit ones that move the
    // fields: "VEVU" at 5, "PRNT" at 17 or 18.
    [`print("${x(9983)}")`, `9999VEVU00009987PRNT${x(9983)}`],
    [`print("${x(9984)}")`, `10000VEVU00009988PRNT${x(9984)}`],
    [`print("${x(9996)}")`, `10013VEVU000010000PRNT${x(9996)}`],
    [`payment("D1", "${x(9985)}")`, `9999VEVU00009987D1${x(9985)}`],
  ];
  for (const [call, expected] of cases) {
    const built = await page.evaluate(`AgentMessage.${call}`);
    assert.equal(built, expected, call.slice(0, 40));
  }
});

test('requests that do not fit their length fields are refused', async () => {
  for (const call of [`payment("D1", "${x(9986)}")`, `print("${x(99984)}")`]) {
    const error = await page.evaluate(`(() => { try { AgentMessage.${call}; return null; }
                                                 catch (e) { return e.name; } })()`);
    assert.equal(error, 'RangeError', call.slice(0, 40));
  }
  // The page says so instead of sending.
  await page.fill('#tx-data', x(9986));
  await page.click('#pay');
  const view = await shown(page);
  assert.equal(view.state, 'error');
  assert.match(view.status, /^Payment not sent: /);
  await page.fill('#tx-data', '0000001000');
});

test('a reply is shown field by field, with its lengths checked in code page 949 bytes', async () => {
  const cases = [
    {
      reply: '0034VEVU00000022\x02OK:D10000001000 승인\x03',
      want: { raw: '0034VEVU00000022␂OK:D10000001000 승인␃', total: '0034', kind: 'VEVU',
              result: '0000', dataLength: '0022', data: '␂OK:D10000001000 승인␃',
              totalNote: /matches/, resultNote: /^success$/, dataLengthNote: /^22 bytes .*: matches/ },
    },
    {
      reply: '0044VEVU00000032결과데이터 파일을 열수 없습니다.',
      want: { dataLength: '0032', data: '결과데이터 파일을 열수 없습니다.',
              totalNote: /matches/, dataLengthNote: /^32 bytes .*: matches/ },
    },
    {
      // The failure reply says 0019 although 17 bytes follow it.
      reply: '0019VEVU00040005VEVU1',
      want: { result: '0004', data: 'VEVU1', totalNote: /always says 0019/,
              resultNote: /^failed: .*cancelled/, dataLengthNote: /matches/ },
    },
    {
      reply: '0019VEVU00990005VEVU1',
      want: { result: '0099', resultNote: /^refused: unknown transaction code/ },
    },
    {
      reply: '0019VEVU00070007REQSTOP',
      want: { result: '0007', data: 'REQSTOP', resultNote: /STOP/, totalNote: /matches/ },
    },
    {
      reply: '0019VEVU00020005VEVU1',
      want: { result: '0002', resultNote: /^failed: .*busy/ },
    },
    {
      reply: '0022VEVU00140010NO COMMAND',
      want: { result: '0014', resultNote: /NO COMMAND/ },
    },
    {
      reply: '0012VEVU00000000',
      want: { data: '', dataLength: '0000', totalNote: /matches/ },
    },
    {
      // A length that does not match is pointed out, not corrected.
      reply: '0030VEVU00000020승인',
      want: { data: '승인', totalNote: /^16 bytes follow: does not match/,
              dataLengthNote: /^4 bytes .*does not match/ },
    },
    {
      // An empty reply: the agent could not load its libraries.
      reply: '',
      want: { raw: '', total: '', result: '', data: '', resultNote: /^empty reply/ },
    },
  ];
  for (const { reply, want } of cases) {
    await page.evaluate((text) => showReply('LAST', 'LAST', text), reply);
    const view = await shown(page);
    assert.equal(view.state, 'replied');
    for (const [field, expected] of Object.entries(want)) {
      if (expected instanceof RegExp) assert.match(view[field], expected, `${field} of ${reply}`);
      else assert.equal(view[field], expected, `${field} of ${reply}`);
    }
  }
  assert.deepEqual(pageErrors, []);
});

test('the port field sets where messages and a cancel go', async () => {
  await page.fill('#port', '18088');
  assert.equal(await page.textContent('#request-url'), 'ws://127.0.0.1:18088/VEVU');
  assert.equal(await page.textContent('#cancel-url'), 'ws://127.0.0.1:18089/');
  await page.fill('#port', '65535');
  assert.match(await page.textContent('#request-url'), /port must be/);
  await page.click('#cmd-last');
  assert.equal((await shown(page)).state, 'error');
});

test('AJAX mode: the port follows the mode unless typed, GET puts the message in the query', async () => {
  await page.fill('#port', '8088');
  await page.selectOption('#mode', 'ajax');
  assert.equal(await page.inputValue('#port'), '9088');
  assert.equal(await page.textContent('#request-url'), 'http://127.0.0.1:9088/');
  assert.equal(await page.textContent('#cancel-url'), 'http://127.0.0.1:9089/');
  await page.check('#ajax-get');
  assert.equal(await page.textContent('#request-url'), 'http://127.0.0.1:9088/?<message>');
  await page.fill('#port', '18088');
  await page.selectOption('#mode', 'websocket');
  assert.equal(await page.inputValue('#port'), '18088');
  assert.equal(await page.isChecked('#ajax-get'), false);
  assert.equal(await page.isDisabled('#ajax-get'), true);
  assert.equal(await page.textContent('#request-url'), 'ws://127.0.0.1:18088/VEVU');
});
