<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<!-- The English texts of the windows, by the Japanese text they replace (lrelease compiles this at
     build time). A text without a translation here is shown in Japanese: the walk over every
     window in tests/app/English_test.cpp finds it. -->
<TS version="2.1" language="en" sourcelanguage="ja">
<context>
    <name>TForm1</name>
    <message>
        <source>ファイル(&amp;F)</source>
        <translation>&amp;File</translation>
    </message>
    <message>
        <source>対象ファイルを開く(&amp;O)...</source>
        <translation>&amp;Open Source...</translation>
    </message>
    <message>
        <source>保存先ファイルを指定(&amp;S)...</source>
        <translation>&amp;Save As...</translation>
    </message>
    <message>
        <source>終了(&amp;X)</source>
        <translation>E&amp;xit</translation>
    </message>
    <message>
        <source>オプション(&amp;O)</source>
        <translation>&amp;Options</translation>
    </message>
    <message>
        <source>エンコード設定(&amp;E)...</source>
        <translation>&amp;Encoding Settings...</translation>
    </message>
    <message>
        <source>一言メッセージ(&amp;M)...</source>
        <translation>Short &amp;Message...</translation>
    </message>
    <message>
        <source>ヘルプ(&amp;H)</source>
        <translation>&amp;Help</translation>
    </message>
    <message>
        <source>補足説明(&amp;E)...</source>
        <translation>&amp;Explanation...</translation>
    </message>
    <message>
        <source>バージョン(&amp;V)...</source>
        <translation>&amp;Version...</translation>
    </message>
    <message>
        <source>ソースを開く</source>
        <translation>Open the source</translation>
    </message>
    <message>
        <source>保存先を指定する</source>
        <translation>Choose the destination</translation>
    </message>
    <message>
        <source>実行</source>
        <translation>Run</translation>
    </message>
    <message>
        <source>キャンセル</source>
        <translation>Cancel</translation>
    </message>
    <message>
        <source>すべての処理をバイパス</source>
        <translation>Bypass all processing</translation>
    </message>
    <message>
        <source>逆モード</source>
        <translation>Inverse mode</translation>
    </message>
    <message>
        <source>減算処理バイパス</source>
        <translation>Bypass the subtraction</translation>
    </message>
    <message>
        <source>エンハンサー</source>
        <translation>Enhancer</translation>
    </message>
    <message>
        <source>再生</source>
        <translation>Play</translation>
    </message>
    <message>
        <source>停止</source>
        <translation>Stop</translation>
    </message>
    <message>
        <source>カラオケ化 実行</source>
        <translation>Make Karaoke</translation>
    </message>
    <message>
        <source>リサジュー</source>
        <translation>Lissajous</translation>
    </message>
    <message>
        <source>カラオケ化調整</source>
        <translation>Tuning</translation>
    </message>
</context>
<context>
    <name>TTuneDlg</name>
    <message>
        <source>カラオケ化調整</source>
        <translation>Karaoke Tuning</translation>
    </message>
    <message>
        <source>&lt; ゆるい</source>
        <translation>&lt; gentle</translation>
    </message>
    <message>
        <source>つよい &gt;</source>
        <translation>strong &gt;</translation>
    </message>
    <message>
        <source>Aパラメータ :</source>
        <translation>A parameter:</translation>
    </message>
    <message>
        <source>Pパラメータ :</source>
        <translation>P parameter:</translation>
    </message>
    <message>
        <source>シンセティック</source>
        <translation>Synthetic</translation>
    </message>
    <message>
        <source>精度と速度 :</source>
        <translation>Precision:</translation>
    </message>
    <message>
        <source>処理範囲 :</source>
        <translation>Range:</translation>
    </message>
    <message>
        <source>キーチェンジ:</source>
        <translation>Key change:</translation>
    </message>
    <message>
        <source>高音質 :</source>
        <translation>Quality:</translation>
    </message>
    <message>
        <source>使う</source>
        <translation>Use</translation>
    </message>
    <message>
        <source>残響 :</source>
        <translation>Reverb:</translation>
    </message>
    <message>
        <source>自動</source>
        <translation>Auto</translation>
    </message>
    <message>
        <source>なし</source>
        <translation>Off</translation>
    </message>
    <message>
        <source>あり</source>
        <translation>On</translation>
    </message>
    <message>
        <source>いま変更しても適用されません</source>
        <translation>Changes made now are not applied</translation>
    </message>
    <message>
        <source>すべて (0Hz～)</source>
        <translation>All (0 Hz~)</translation>
    </message>
    <message>
        <source>低音ボーカル (100～12kHz)</source>
        <translation>Low voice (100~12 kHz)</translation>
    </message>
    <message>
        <source>通常ボーカル (150～14kHz)</source>
        <translation>Normal voice (150~14 kHz)</translation>
    </message>
    <message>
        <source>高音ボーカル (250～15kHz)</source>
        <translation>High voice (250~15 kHz)</translation>
    </message>
    <message>
        <source>カスタム</source>
        <translation>Custom</translation>
    </message>
</context>
<context>
    <name>TEncsetDlg</name>
    <message>
        <source>エンコード</source>
        <translation>Encoding</translation>
    </message>
    <message>
        <source>品質:</source>
        <translation>Level:</translation>
    </message>
    <message>
        <source>クオリティ:</source>
        <translation>Quality:</translation>
    </message>
    <message>
        <source>ビットレート:</source>
        <translation>Bit rate:</translation>
    </message>
    <message>
        <source>デフォルト</source>
        <translation>Default</translation>
    </message>
    <message>
        <source>最速 (Fast)</source>
        <translation>Fast</translation>
    </message>
    <message>
        <source>標準 (Normal)</source>
        <translation>Normal</translation>
    </message>
    <message>
        <source>高品質 (High)</source>
        <translation>High</translation>
    </message>
    <message>
        <source>最高品質 (Extra-High)</source>
        <translation>Extra High</translation>
    </message>
</context>
<context>
    <name>TSendMsgDlg</name>
    <message>
        <source>一言メッセージ</source>
        <translation>Short Message</translation>
    </message>
    <message>
        <source>作者へメッセージを送ることができます。お気軽にご利用ください。</source>
        <translation>You can send the author a message. Feel free to write.</translation>
    </message>
    <message>
        <source>送る</source>
        <translation>Send</translation>
    </message>
    <message>
        <source>閉じる</source>
        <translation>Close</translation>
    </message>
    <message>
        <source>送達</source>
        <translation>Sent</translation>
    </message>
    <message>
        <source>送信が完了しました。</source>
        <translation>The message has been sent.</translation>
    </message>
</context>
<context>
    <name>TRiderDlg</name>
    <message>
        <source>補足説明</source>
        <translation>Explanation</translation>
    </message>
</context>
<context>
    <name>HelpFiles</name>
    <message>
        <source>&lt;html&gt;&lt;body&gt;&lt;h3&gt;補足説明のページが見つかりません&lt;/h3&gt;&lt;p&gt;次のファイルがありません。&lt;/p&gt;&lt;p&gt;&lt;tt&gt;%1&lt;/tt&gt;&lt;/p&gt;&lt;p&gt;プログラムと同じフォルダーか、インストール先の share/merolune/ に rider.html を置いてください。&lt;/p&gt;&lt;/body&gt;&lt;/html&gt;</source>
        <translation>&lt;html&gt;&lt;body&gt;&lt;h3&gt;The explanation page cannot be found&lt;/h3&gt;&lt;p&gt;This file is missing:&lt;/p&gt;&lt;p&gt;&lt;tt&gt;%1&lt;/tt&gt;&lt;/p&gt;&lt;p&gt;Put rider.html beside the program or, when installed, in share/merolune/.&lt;/p&gt;&lt;/body&gt;&lt;/html&gt;</translation>
    </message>
</context>
</TS>
